// vorn_code_client: a client whose code the tests change. Loads the
// vorn_guard.dll beside it, prints "ready IMAGE MODULE" (two code addresses
// in hexadecimal: a function of its own that never runs, and the module's
// vorn_guard_version), then obeys one line at a time:
//   patch-module  flips a byte at MODULE the way a cheat would
//                 (VirtualProtect, write, protection restored); "done"
//   exit          ends with exit code 0
// Exit code 2 when the module cannot be loaded.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

// Never called: only its address and its bytes matter.
extern "C" __declspec(noinline) int vorn_code_client_unused(int value) {
  return value * 7 + 3;
}

namespace {

bool flip_byte(void* address) {
  DWORD old_protection = 0;
  if (!VirtualProtect(address, 1, PAGE_EXECUTE_READWRITE, &old_protection)) {
    return false;
  }
  auto* byte = static_cast<volatile unsigned char*>(address);
  *byte = static_cast<unsigned char>(*byte ^ 0xFF);
  DWORD ignored = 0;
  return VirtualProtect(address, 1, old_protection, &ignored) != FALSE;
}

}  // namespace

int main() {
  std::vector<wchar_t> own(32768);
  const std::wstring own_path(own.data(),
                              GetModuleFileNameW(nullptr, own.data(), 32768));
  const std::wstring module_path =
      own_path.substr(0, own_path.find_last_of(L'\\') + 1) + L"vorn_guard.dll";
  HMODULE module = LoadLibraryW(module_path.c_str());
  if (module == nullptr) return 2;
  void* module_code =
      reinterpret_cast<void*>(GetProcAddress(module, "vorn_guard_version"));
  if (module_code == nullptr) return 2;
  // Through a volatile pointer, so the function is kept and not inlined.
  int (*volatile unused)(int) = vorn_code_client_unused;
  std::printf("ready %p %p\n", reinterpret_cast<void*>(unused), module_code);
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "exit") return 0;
    if (line == "patch-module") {
      std::printf(flip_byte(module_code) ? "done\n" : "failed\n");
      std::fflush(stdout);
    }
  }
  return 0;
}
