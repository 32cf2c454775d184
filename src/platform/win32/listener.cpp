// Creating one instance of the service's named pipe and waiting for a client.
#include <windows.h>
// Needs the definitions of windows.h.
#include <sddl.h>

#include "platform/runtime.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

constexpr char kPipeName[] = "\\\\.\\pipe\\VORNGuardLocalGuard";
// Local system and administrators: everything; authenticated users: read and
// write; nobody else. Protected, so nothing is inherited.
constexpr char kPipeSddl[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)";
constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX;
// Message type, read in message mode, blocking, local clients only: a remote
// caller whose pid happens to match a local game client could otherwise bind
// a session to that local process and get it terminated.
constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE |
                            PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr DWORD kMaxInstances = 32;
constexpr DWORD kBufferBytes = 4096;
// 0: clients that wait with the default time-out get the system's 50 ms.
constexpr DWORD kDefaultTimeoutMs = 0;

using SystemTimeFunction = VOID(WINAPI*)(LPFILETIME);

// GetSystemTimePreciseAsFileTime exists from Windows 8 on and is looked up
// so the service still starts on Windows 7, which gets the coarse system
// time instead. Both read the system clock that process creation times are
// stamped from, and neither lags behind those stamps, so a client that
// started before the connection never looks as if it started after it
// (unless the clock is set back in between).
SystemTimeFunction system_time_function() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const FARPROC precise =
      kernel != nullptr
          ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime")
          : nullptr;
  // FARPROC and the real signature differ; the plain void (*)() in between
  // is the sanctioned way to change function pointer types.
  return precise != nullptr ? reinterpret_cast<SystemTimeFunction>(
                                  reinterpret_cast<void (*)()>(precise))
                            : GetSystemTimeAsFileTime;
}

std::uint64_t system_time_now() {
  static const SystemTimeFunction now_function = system_time_function();
  FILETIME now{};
  now_function(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
         now.dwLowDateTime;
}

HANDLE create_instance() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // Only the descriptor pointer tells success; a failed conversion leaves the
  // instance with the default security of a named pipe.
  ConvertStringSecurityDescriptorToSecurityDescriptorA(
      kPipeSddl, SDDL_REVISION_1, &descriptor, nullptr);
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  HANDLE instance =
      CreateNamedPipeA(kPipeName, kOpenMode, kPipeMode, kMaxInstances,
                       kBufferBytes, kBufferBytes, kDefaultTimeoutMs,
                       descriptor != nullptr ? &attributes : nullptr);
  // A fresh descriptor per instance, freed whether or not creation worked.
  if (descriptor != nullptr) LocalFree(descriptor);
  return instance;
}

}  // namespace

std::string endpoint_name() { return kPipeName; }

// Named pipes need nothing prepared: every instance is made by accept_client.
bool listener_open(std::string& /*error*/) { return true; }

void listener_close() {}

AcceptOutcome accept_client(PipeHandle& pipe, std::string& error) {
  HANDLE instance = create_instance();
  // INVALID_HANDLE_VALUE also when all 32 instances exist, which is no error.
  if (instance == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    if (failure != ERROR_PIPE_BUSY) {
      error = std::string("cannot create an instance of ") + kPipeName + ": " +
              win32::error_text(failure);
    }
    return AcceptOutcome::create_failed;
  }
  // Blocks until a client connects. ERROR_PIPE_CONNECTED: it connected
  // between the creation and this call, which is just as good.
  if (!ConnectNamedPipe(instance, nullptr) &&
      GetLastError() != ERROR_PIPE_CONNECTED) {
    // ERROR_NO_DATA, say: a client came and went before the wait began.
    // Nobody is connected, so there is nothing to disconnect.
    CloseHandle(instance);
    return AcceptOutcome::connect_failed;
  }
  // Taken at once: pipe_client_process refuses a process that started later,
  // which would be a new process under the pid of a client that is gone.
  pipe.connected_at = system_time_now();
  pipe.raw = win32::to_raw(instance);
  return AcceptOutcome::connected;
}

}  // namespace vorn::os
