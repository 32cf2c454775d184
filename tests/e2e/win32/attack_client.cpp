// vorn_attack_client LOADER_NAME E1 E2 [MODULE_FILE]: a client that lies
// about its guard module through its own loader list.
//
// A LOADER_NAME that starts with '+' keeps the session after the OK instead,
// does one thing, then PINGs every two seconds until the service ends it
// (TerminateProcess: exit code 0) or has answered kSessionPongs of them
// after that thing was done (exit code 6):
//   +swap          tries to rename its module file and to open it for
//                  writing (exit code 5 when either works), then unloads it
//   +patch-module  writes a byte of its module's code that never runs
//                  (VirtualProtect, write, protection restored)
//   +patch-image   starts itself again as "+write PID ADDRESS", which writes
//                  a byte of this image's code that never runs from outside
//                  (WriteProcessMemory)
// Exit code 7 when kSessionPongs PINGs in a row go unanswered and nobody ends
// it, 8 when a write fails.
//
// Loads MODULE_FILE (default vorn_guard.dll) from beside itself (found with
// wide calls, so any folder name works) and, unless LOADER_NAME is "-", points
// that module's loader entry at LOADER_NAME, which is then the full name anyone
// reading the list sees. Sends HELLO|<pid>|vorn-attack-client|E1|E2. Exit code:
// 0 for an OK reply, 4 for ERR|INTEGRITY, 3 for any other or no reply, 2 when
// the module or its entry cannot be had, 1 for bad arguments.
#include <windows.h>
// Needs the definitions of windows.h.
#include <winternl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/client.h"
#include "platform/win32/win32_handle.h"

namespace {

// The leading fields of a loader entry, the same on every Windows version and
// in Wine.
struct LoaderEntry {
  LIST_ENTRY in_load_order, in_memory_order, in_initialization_order;
  void* dll_base;
  void* entry_point;
  ULONG size_of_image;
  UNICODE_STRING full_dll_name;
};

// The entry points at it for the life of the process.
std::wstring g_loader_name;

bool rewrite_loader_entry(HMODULE module) {
  // Asked for rather than read through NtCurrentTeb, whose inline gs: read
  // GCC flags as out of bounds.
  PROCESS_BASIC_INFORMATION basic{};
  if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation,
                                &basic, sizeof basic, nullptr) != 0) {
    return false;
  }
  LIST_ENTRY* head = &basic.PebBaseAddress->Ldr->InMemoryOrderModuleList;
  for (LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
    LoaderEntry* entry = CONTAINING_RECORD(link, LoaderEntry, in_memory_order);
    if (entry->dll_base != module) continue;
    entry->full_dll_name.Buffer = &g_loader_name[0];
    entry->full_dll_name.Length = entry->full_dll_name.MaximumLength =
        static_cast<USHORT>(g_loader_name.size() * sizeof(wchar_t));
    return true;
  }
  return false;
}

// A byte of code that never runs, so the client goes on working with it
// changed: the last of the first executable section's last page, in the
// padding past the section's own bytes. Null when no such section has any.
unsigned char* spare_code_byte(HMODULE module) {
  auto* base = reinterpret_cast<unsigned char*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    const DWORD size = section->Misc.VirtualSize;
    if ((section->Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0 &&
        size % 4096 != 0) {
      return base + section->VirtualAddress + (size / 4096 + 1) * 4096 - 1;
    }
  }
  return nullptr;
}

// A cheat inside the game: the protection changed around a plain write.
bool flip_own_byte(unsigned char* address) {
  DWORD old_protection = 0;
  if (address == nullptr ||
      !VirtualProtect(address, 1, PAGE_EXECUTE_READWRITE, &old_protection)) {
    return false;
  }
  volatile unsigned char* byte = address;
  *byte = static_cast<unsigned char>(*byte ^ 0xFF);
  DWORD ignored = 0;
  return VirtualProtect(address, 1, old_protection, &ignored) != FALSE;
}

// A cheat beside the game: the same through another process's handle.
int write_into(DWORD pid, std::uintptr_t address) {
  const vorn::os::win32::UniqueHandle process(OpenProcess(
      PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid));
  void* target = reinterpret_cast<void*>(address);
  unsigned char byte = 0;
  DWORD old_protection = 0;
  if (!process.valid() ||
      !ReadProcessMemory(process.get(), target, &byte, 1, nullptr) ||
      !VirtualProtectEx(process.get(), target, 1, PAGE_EXECUTE_READWRITE,
                        &old_protection)) {
    return 2;
  }
  byte = static_cast<unsigned char>(byte ^ 0xFF);
  const bool written =
      WriteProcessMemory(process.get(), target, &byte, 1, nullptr) != FALSE;
  DWORD ignored = 0;
  return VirtualProtectEx(process.get(), target, 1, old_protection, &ignored) &&
                 written
             ? 0
             : 2;
}

// Starts this program again to write `address` of this process.
vorn::os::win32::UniqueHandle start_writer(const std::wstring& own_path,
                                           const unsigned char* address) {
  std::wstring command =
      L"\"" + own_path + L"\" +write " +
      std::to_wstring(GetCurrentProcessId()) + L" " +
      std::to_wstring(reinterpret_cast<std::uintptr_t>(address));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (address == nullptr ||
      !CreateProcessW(own_path.c_str(), &command[0], nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &started)) {
    return vorn::os::win32::UniqueHandle();
  }
  const vorn::os::win32::UniqueHandle thread(started.hThread);
  return vorn::os::win32::UniqueHandle(started.hProcess);
}

// PONGs a whole session gets: more than one re-check interval's worth
// (10 s at a PING every two seconds), counted rather than timed so that a
// slow machine slows both sides alike.
constexpr int kSessionPongs = 8;

// PINGs every two seconds (see the top). Answers count once `writer`, when
// there is one, has done its write.
int keep_heartbeat(vorn::os::ClientConnection& connection,
                   const std::string& token,
                   vorn::os::win32::UniqueHandle writer) {
  int answered = 0;
  int unanswered = 0;
  for (int sequence = 1; answered < kSessionPongs; ++sequence) {
    if (writer.valid() &&
        WaitForSingleObject(writer.get(), 0) == WAIT_OBJECT_0) {
      DWORD code = 1;
      if (!GetExitCodeProcess(writer.get(), &code) || code != 0) return 8;
      writer = vorn::os::win32::UniqueHandle();
    }
    const std::string ping =
        "PING|" + token + "|" + std::to_string(sequence) + "|0";
    vorn::os::client_write(connection, ping.data(), ping.size());
    std::string pong;
    bool closed = false;
    if (vorn::os::client_read(connection, pong, 2000, closed) &&
        pong.compare(0, 5, "PONG|") == 0) {
      unanswered = 0;
      if (!writer.valid()) ++answered;
    } else if (++unanswered == kSessionPongs) {
      return 7;
    }
    Sleep(2000);
  }
  return 6;
}

// After the OK: does what `mode` says, then keeps the heartbeat.
int keep_session(const std::string& mode, HMODULE module,
                 const std::wstring& module_path, const std::wstring& own_path,
                 vorn::os::ClientConnection& connection,
                 const std::string& reply) {
  const std::string token = reply.substr(3, reply.find('|', 3) - 3);
  vorn::os::win32::UniqueHandle writer;
  if (mode == "+swap") {
    const std::wstring moved = module_path + L".moved";
    if (MoveFileExW(module_path.c_str(), moved.c_str(), 0)) return 5;
    const vorn::os::win32::UniqueHandle file(CreateFileW(
        module_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.valid()) return 5;
    FreeLibrary(module);
  } else if (mode == "+patch-module") {
    if (!flip_own_byte(spare_code_byte(module))) return 8;
  } else if (mode == "+patch-image") {
    writer = start_writer(own_path, spare_code_byte(GetModuleHandleW(nullptr)));
    if (!writer.valid()) return 8;
  } else {
    return 1;
  }
  return keep_heartbeat(connection, token, std::move(writer));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 1;
  if (std::string(argv[1]) == "+write") {
    return write_into(std::strtoul(argv[2], nullptr, 10),
                      std::strtoull(argv[3], nullptr, 10));
  }
  std::vector<wchar_t> own(32768);
  const std::wstring own_path(own.data(),
                              GetModuleFileNameW(nullptr, own.data(), 32768));
  const std::wstring module_path =
      own_path.substr(0, own_path.find_last_of(L'\\') + 1) +
      (argc == 5 ? std::wstring(argv[4], argv[4] + std::strlen(argv[4]))
                 : std::wstring(L"vorn_guard.dll"));
  // Stays loaded until the process ends.
  HMODULE module = LoadLibraryW(module_path.c_str());
  const std::string loader_name = argv[1];
  const bool keeps_session = loader_name[0] == '+';
  g_loader_name.assign(loader_name.begin(), loader_name.end());  // ASCII
  if (module == nullptr ||
      (loader_name != "-" && !keeps_session && !rewrite_loader_entry(module))) {
    return 2;
  }
  vorn::os::ClientConnection connection;
  if (vorn::os::client_connect(connection, 10000) !=
      vorn::os::ConnectResult::connected) {
    return 3;
  }
  const std::string hello = "HELLO|" + std::to_string(GetCurrentProcessId()) +
                            "|vorn-attack-client|" + argv[2] + "|" + argv[3];
  std::string reply;
  bool closed = false;
  const bool replied =
      vorn::os::client_write(connection, hello.data(), hello.size()) &&
      vorn::os::client_read(connection, reply, 30000, closed);
  if (keeps_session && replied && reply.compare(0, 3, "OK|") == 0) {
    return keep_session(loader_name, module, module_path, own_path, connection,
                        reply);
  }
  connection.close();
  if (replied && reply.compare(0, 3, "OK|") == 0) return 0;
  return replied && reply.compare(0, 13, "ERR|INTEGRITY") == 0 ? 4 : 3;
}
