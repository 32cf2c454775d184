// vorn_code_client: a client whose code the tests change. Loads the
// vorn_guard.dll beside it, prints "ready IMAGE MODULE" (two code addresses
// in hexadecimal: a function of its own that never runs, and the module's
// vorn_guard_version), then obeys one line at a time:
//   patch-module  flips a byte at MODULE the way a cheat would
//                 (VirtualProtect, write, protection restored); "done"
//   exit          ends with exit code 0
// The module is loaded away from its preferred base (that range is taken
// first), so its code carries applied relocations.
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
  // Loaded once to learn where it wants to be, then that range is reserved
  // so the second load relocates it.
  HMODULE module = LoadLibraryW(module_path.c_str());
  if (module == nullptr) return 2;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      reinterpret_cast<const char*>(module) + dos->e_lfanew);
  const SIZE_T image_size = nt->OptionalHeader.SizeOfImage;
  void* preferred = module;
  FreeLibrary(module);
  if (VirtualAlloc(preferred, image_size, MEM_RESERVE, PAGE_NOACCESS) ==
      nullptr) {
    return 2;
  }
  module = LoadLibraryW(module_path.c_str());
  if (module == nullptr || module == preferred) return 2;
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
