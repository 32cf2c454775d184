// Windows: the service's process id comes from the service manager
// (QueryServiceStatusEx), its handle count from GetProcessHandleCount and its
// working set from GetProcessMemoryInfo. Wine answers GetProcessHandleCount
// with success and a count of 0, so a count of 0 (impossible for a running
// process) falls back to counting the process's entries in the system's
// handle table, which Wine does keep.
#include <windows.h>
// Needs the definitions of windows.h.
#include <psapi.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "e2e/service_resources.h"

namespace vorn::test {

namespace {

constexpr char kServiceName[] = "VORNGuardLocalService";
// NtQuerySystemInformation's SystemExtendedHandleInformation class.
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004L);

// The layout of SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX.
struct HandleEntry {
  void* object;
  ULONG_PTR process_id;
  ULONG_PTR handle_value;
  ULONG granted_access;
  USHORT creator_back_trace_index;
  USHORT object_type_index;
  ULONG handle_attributes;
  ULONG reserved;
};

struct HandleTableHeader {
  ULONG_PTR count;
  ULONG_PTR reserved;
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

struct ScHandle {
  SC_HANDLE handle = nullptr;
  ~ScHandle() {
    if (handle) CloseServiceHandle(handle);
  }
};

struct ProcessHandle {
  HANDLE handle = nullptr;
  ~ProcessHandle() {
    if (handle) CloseHandle(handle);
  }
};

bool query_status(SERVICE_STATUS_PROCESS& status) {
  ScHandle scm{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)};
  if (!scm.handle) return false;
  ScHandle service{
      OpenServiceA(scm.handle, kServiceName, SERVICE_QUERY_STATUS)};
  if (!service.handle) return false;
  DWORD needed = 0;
  return QueryServiceStatusEx(service.handle, SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed) != FALSE;
}

QuerySystemInformation system_information_call() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (!ntdll) return nullptr;
  FARPROC address = GetProcAddress(ntdll, "NtQuerySystemInformation");
  QuerySystemInformation call = nullptr;
  // A function pointer of another type; copied, not cast, to stay clear of
  // the compilers' function-cast warnings.
  static_assert(sizeof call == sizeof address, "function pointer sizes");
  std::memcpy(&call, &address, sizeof call);
  return call;
}

// Counts the handles of `pid`, and says how many there are of each object
// type ("type:count ..."), so that a handle left over can be told apart.
bool count_in_handle_table(DWORD pid, std::uint64_t& count,
                           std::string& by_type) {
  const QuerySystemInformation query = system_information_call();
  if (!query) return false;
  std::vector<unsigned char> buffer(1 << 20);
  LONG status = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    status = query(kSystemExtendedHandleInformation, buffer.data(),
                   static_cast<ULONG>(buffer.size()), &needed);
    if (status != kStatusInfoLengthMismatch) break;
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return false;
  HandleTableHeader header{};
  std::memcpy(&header, buffer.data(), sizeof header);
  const std::size_t room =
      (buffer.size() - sizeof header) / sizeof(HandleEntry);
  if (header.count > room) return false;
  count = 0;
  std::map<USHORT, unsigned> types;
  for (std::size_t i = 0; i < header.count; ++i) {
    HandleEntry entry{};
    std::memcpy(&entry, buffer.data() + sizeof header + i * sizeof entry,
                sizeof entry);
    if (entry.process_id == pid) {
      ++count;
      ++types[entry.object_type_index];
    }
  }
  for (const auto& [type, number] : types) {
    by_type += " " + std::to_string(type) + ":" + std::to_string(number);
  }
  return count > 0;
}

}  // namespace

unsigned service_pid(const ServiceRun& run) {
  if (!run.started) return 0;
  SERVICE_STATUS_PROCESS status{};
  if (!query_status(status) || status.dwCurrentState == SERVICE_STOPPED) {
    return 0;
  }
  return status.dwProcessId;
}

bool service_is_running(ServiceRun& run) {
  if (!run.started) return false;
  SERVICE_STATUS_PROCESS status{};
  return query_status(status) && status.dwCurrentState == SERVICE_RUNNING;
}

ServiceResources read_service_resources(const ServiceRun& run) {
  ServiceResources resources;
  const DWORD pid = service_pid(run);
  if (pid == 0) {
    resources.source = "service not running";
    return resources;
  }
  ProcessHandle process{
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid)};
  if (!process.handle) {
    resources.source = "OpenProcess failed: " + std::to_string(GetLastError());
    return resources;
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(process.handle, &handles) && handles > 0) {
    resources.handles_known = true;
    resources.handles = handles;
    resources.source = "GetProcessHandleCount";
  } else if (std::string by_type;
             count_in_handle_table(pid, resources.handles, by_type)) {
    resources.handles_known = true;
    resources.source =
        "system handle table (GetProcessHandleCount gave 0), by type" + by_type;
  } else {
    resources.source = "handle count not available";
  }
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(process.handle, &memory, sizeof memory) &&
      memory.WorkingSetSize > 0) {
    resources.memory_known = true;
    resources.resident_bytes = memory.WorkingSetSize;
  } else {
    resources.source += "; working set not available";
  }
  return resources;
}

}  // namespace vorn::test
