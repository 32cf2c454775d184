// Who is at the other end of a pipe instance: the client's process id, its
// process held from the moment the connection is seen, and its account (from
// the process token) for the fair share of places.
#include <windows.h>
// Needs the definitions of windows.h.
#include <sddl.h>

#include <cstdint>
#include <vector>

#include "platform/runtime.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os {

namespace {

std::uint64_t filetime_value(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
         time.dwLowDateTime;
}

// One variable-sized token record (TokenUser, TokenGroups), or empty.
std::vector<unsigned char> token_record(HANDLE token,
                                        TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  GetTokenInformation(token, kind, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<unsigned char> record(size);
  if (!GetTokenInformation(token, kind, record.data(), size, &size)) return {};
  return record;
}

// An Administrators membership counts only where it is enabled: a token that
// UAC filtered holds it for denying only.
bool administrators_enabled(HANDLE token) {
  const std::vector<unsigned char> record = token_record(token, TokenGroups);
  if (record.empty()) return false;
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(record.data());
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    const SID_AND_ATTRIBUTES& group = groups->Groups[i];
    if ((group.Attributes & SE_GROUP_ENABLED) != 0 &&
        (group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0 &&
        IsWellKnownSid(group.Sid, WinBuiltinAdministratorsSid)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool pipe_client_pid(const PipeHandle& pipe, ProcessId& pid) {
  ULONG client = 0;
  if (!GetNamedPipeClientProcessId(win32::to_handle(pipe.raw()), &client)) {
    return false;
  }
  pid = client;
  return true;
}

// The pipe reports only a pid, and the client may have gone and its pid been
// given to a new process before OpenProcess runs. A process created after the
// connection was seen cannot be the client, so it is refused. Once the handle
// is held, Windows does not hand the pid to another process while any handle
// to this one is open: a later OpenProcess(pid) with other rights (the
// integrity check's) reaches this same process.
ClientHold pipe_client_process(const PipeHandle& pipe, ProcessId& pid,
                               ProcessHandle& process) {
  if (!pipe_client_pid(pipe, pid)) return ClientHold::pid_unknown;
  ProcessHandle opened = process_open_for_session(pid);
  if (!opened.open()) return ClientHold::not_held;
  if (pipe.connected_at != 0) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!GetProcessTimes(win32::to_handle(opened.raw()), &created, &exited,
                         &kernel, &user) ||
        filetime_value(created) > pipe.connected_at) {
      opened.close();
      return ClientHold::not_held;
    }
  }
  process = std::move(opened);
  return ClientHold::held;
}

ClientUser pipe_client_user(const PipeHandle& pipe) {
  ClientUser user;
  ULONG pid = 0;
  if (!GetNamedPipeClientProcessId(win32::to_handle(pipe.raw()), &pid)) {
    return user;
  }
  win32::UniqueHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  HANDLE raw_token = nullptr;
  if (!process.valid() ||
      !OpenProcessToken(process.get(), TOKEN_QUERY, &raw_token)) {
    return user;
  }
  const win32::UniqueHandle token(raw_token);
  const std::vector<unsigned char> record =
      token_record(token.get(), TokenUser);
  if (record.empty()) return user;
  PSID sid = reinterpret_cast<const TOKEN_USER*>(record.data())->User.Sid;
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return user;
  user.name = text;
  LocalFree(text);
  user.privileged = IsWellKnownSid(sid, WinLocalSystemSid) ||
                    administrators_enabled(token.get());
  return user;
}

}  // namespace vorn::os
