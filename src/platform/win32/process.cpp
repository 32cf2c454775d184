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
  HANDLE handle = OpenProcess(kSessionRights, FALSE, pid);
  if (handle == nullptr) return {};
  return ProcessHandle(win32::to_raw(handle));
}

bool process_innermost_pid(const ProcessHandle& process, ProcessId& pid) {
  if (!process.open()) return false;
  const DWORD id = GetProcessId(win32::to_handle(process.raw()));
  if (id == 0) return false;
  pid = id;
  return true;
}

bool process_is_running(const ProcessHandle& process) {
  if (!process.open()) return false;
  return WaitForSingleObject(win32::to_handle(process.raw()), 0) ==
         WAIT_TIMEOUT;
}

void process_terminate(const ProcessHandle& process) {
  // A process that has already ended makes this fail; nothing to do then.
  if (process.open()) TerminateProcess(win32::to_handle(process.raw()), 0);
}

void ProcessKind::close(std::intptr_t raw) {
  CloseHandle(win32::to_handle(raw));
}

}  // namespace vorn::os
