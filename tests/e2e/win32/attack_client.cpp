// vorn_attack_client LOADER_NAME E1 E2: a client that lies about its guard
// module through its own loader list.
//
// With LOADER_NAME "+swap" it keeps its session instead: it tries to rename
// its module file and to open it for writing (exit code 5 when either
// works), then unloads the module and keeps its heartbeat going until the
// service ends it (exit code 6 when that takes more than 30 s).
//
// Loads the vorn_guard.dll beside itself (found with wide calls, so any
// folder name works) and, unless LOADER_NAME is "-", points that module's
// loader entry at LOADER_NAME, which is then the full name anyone reading the
// list sees. Sends HELLO|<pid>|vorn-attack-client|E1|E2. Exit code: 0 for an
// OK reply, 4 for ERR|INTEGRITY, 3 for any other or no reply, 2 when the
// module or its entry cannot be had, 1 for bad arguments.
#include <windows.h>
// Needs the definitions of windows.h.
#include <winternl.h>

#include <string>
#include <vector>

#include "platform/client.h"

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

}  // namespace

// PINGs every two seconds until the process is ended or `ms` have passed.
void keep_heartbeat(vorn::os::ClientConnection connection,
                    const std::string& token, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (int sequence = 1; GetTickCount64() < end; ++sequence) {
    const std::string ping =
        "PING|" + token + "|" + std::to_string(sequence) + "|0";
    vorn::os::client_write(connection, ping.data(), ping.size());
    std::string pong;
    bool closed = false;
    vorn::os::client_read(connection, pong, 2000, closed);
    Sleep(2000);
  }
}

int try_to_swap_module(HMODULE module, const std::wstring& module_path,
                       vorn::os::ClientConnection connection,
                       const std::string& reply) {
  const std::string token = reply.substr(3, reply.find('|', 3) - 3);
  const std::wstring moved = module_path + L".moved";
  if (MoveFileExW(module_path.c_str(), moved.c_str(), 0)) return 5;
  HANDLE writer = CreateFileW(module_path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (writer != INVALID_HANDLE_VALUE) {
    CloseHandle(writer);
    return 5;
  }
  FreeLibrary(module);
  keep_heartbeat(connection, token, 30000);
  return 6;
}

int main(int argc, char** argv) {
  if (argc != 4) return 1;
  std::vector<wchar_t> own(32768);
  const std::wstring own_path(own.data(),
                              GetModuleFileNameW(nullptr, own.data(), 32768));
  const std::wstring module_path =
      own_path.substr(0, own_path.find_last_of(L'\\') + 1) + L"vorn_guard.dll";
  // Stays loaded until the process ends.
  HMODULE module = LoadLibraryW(module_path.c_str());
  const std::string loader_name = argv[1];
  const bool swap = loader_name == "+swap";
  g_loader_name.assign(loader_name.begin(), loader_name.end());  // ASCII
  if (module == nullptr ||
      (loader_name != "-" && !swap && !rewrite_loader_entry(module))) {
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
  if (swap && replied && reply.compare(0, 3, "OK|") == 0) {
    return try_to_swap_module(module, module_path, connection, reply);
  }
  vorn::os::client_close(connection);
  if (replied && reply.compare(0, 3, "OK|") == 0) return 0;
  return replied && reply.compare(0, 13, "ERR|INTEGRITY") == 0 ? 4 : 3;
}
