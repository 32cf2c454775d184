#include <windows.h>

#include "platform/runtime.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

// Wait on it, name it for the log, terminate it: nothing more.
constexpr DWORD kSessionRights =
    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;

std::uint64_t filetime_value(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

}  // namespace

ProcessHandle process_open_for_session(ProcessId pid) {
  ProcessHandle process;
  HANDLE handle = OpenProcess(kSessionRights, FALSE, pid);
  if (handle == nullptr) return process;
  process.raw = win32::to_raw(handle);
  process.open = true;
  return process;
}

// The pipe reports only a pid, and the client may have gone and its pid been
// given to a new process before OpenProcess runs. A process created after the
// connection was seen cannot be the client, so it is refused. Once the handle
// is held, Windows does not hand the pid to another process while any handle
// to this one is open: a later OpenProcess(pid) with other rights (the
// integrity check's) reaches this same process.
ClientHold pipe_client_process(PipeHandle pipe, ProcessId& pid,
                               ProcessHandle& process) {
  ULONG client = 0;
  if (!GetNamedPipeClientProcessId(win32::to_handle(pipe.raw), &client)) {
    return ClientHold::pid_unknown;
  }
  pid = client;
  win32::UniqueHandle handle(OpenProcess(kSessionRights, FALSE, client));
  if (!handle.valid()) return ClientHold::not_held;
  if (pipe.connected_at != 0) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(handle.get(), &created, &exited, &kernel, &user) ||
        filetime_value(created) > pipe.connected_at) {
      return ClientHold::not_held;
    }
  }
  process.raw = win32::to_raw(handle.release());
  process.open = true;
  return ClientHold::held;
}

bool process_innermost_pid(ProcessHandle process, ProcessId& pid) {
  if (!process.open) return false;
  const DWORD id = GetProcessId(win32::to_handle(process.raw));
  if (id == 0) return false;
  pid = id;
  return true;
}

bool process_is_running(ProcessHandle process) {
  if (!process.open) return false;
  return WaitForSingleObject(win32::to_handle(process.raw), 0) == WAIT_TIMEOUT;
}

void process_terminate(ProcessHandle process) {
  // A process that has already ended makes this fail; nothing to do then.
  if (process.open) TerminateProcess(win32::to_handle(process.raw), 0);
}

void process_close(ProcessHandle& process) {
  if (process.open) CloseHandle(win32::to_handle(process.raw));
  process.raw = 0;
  process.open = false;
}

}  // namespace vorn::os
