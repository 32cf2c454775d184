#include <windows.h>

#include "platform/runtime.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

// Wait on it, name it for the log, terminate it: nothing more.
constexpr DWORD kSessionRights =
    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;

}  // namespace

ProcessHandle process_open_for_session(ProcessId pid) {
  ProcessHandle process;
  HANDLE handle = OpenProcess(kSessionRights, FALSE, pid);
  if (handle == nullptr) return process;
  process.raw = win32::to_raw(handle);
  process.open = true;
  return process;
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
