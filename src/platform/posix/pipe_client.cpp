// Who is at the other end of a connected socket: the client's process id
// and account from its credentials (SO_PEERCRED), and its process held from
// the moment the connection is seen.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "platform/posix/runtime_internal.h"
#include "platform/runtime.h"

namespace vorn::os {

namespace {

int fd_of(const PipeHandle& pipe) { return static_cast<int>(pipe.raw()); }

// SO_PEERPIDFD, which older C library headers lack.
constexpr int kPeerPidfdOption = 77;

}  // namespace

bool pipe_client_pid(const PipeHandle& pipe, ProcessId& pid) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd_of(pipe), SOL_SOCKET, SO_PEERCRED, &credentials,
                   &length) != 0 ||
      length != sizeof credentials || credentials.pid <= 0) {
    return false;
  }
  pid = static_cast<ProcessId>(credentials.pid);
  return true;
}

ClientHold pipe_client_process(const PipeHandle& pipe, ProcessId& pid,
                               ProcessHandle& process) {
  process = ProcessHandle();
  if (!pipe_client_pid(pipe, pid)) return ClientHold::pid_unknown;
  // The pidfd the kernel recorded when the client connected (Linux 6.5+):
  // no window at all between naming the client and holding it.
  int pidfd = -1;
  socklen_t length = sizeof pidfd;
  if (::getsockopt(fd_of(pipe), SOL_SOCKET, kPeerPidfdOption, &pidfd,
                   &length) == 0) {
    if (pidfd < 0) return ClientHold::not_held;
    process = ProcessHandle(pidfd);
    return ClientHold::held;
  }
  // Only an older kernel that lacks the option falls back; any other error
  // (the client has gone, say) means it cannot be held.
  if (errno != ENOPROTOOPT) return ClientHold::not_held;
  process = process_open_for_session(pid);
  if (!process.open()) return ClientHold::not_held;
  // The pid may have passed to a process started after the client left; that
  // one started after the connection was accepted. (A client that left while
  // its connection still waited in the backlog is not caught this way: only
  // the kernel's own pidfd closes that window.)
  std::uint64_t started_at = 0;
  if (pipe.connected_at != 0 &&
      (!posix::process_start_time_ns(pid, started_at) ||
       started_at > pipe.connected_at || !process_is_running(process))) {
    process.close();
    return ClientHold::not_held;
  }
  return ClientHold::held;
}

ClientUser pipe_client_user(const PipeHandle& pipe) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  ClientUser user;
  if (::getsockopt(fd_of(pipe), SOL_SOCKET, SO_PEERCRED, &credentials,
                   &length) != 0 ||
      length != sizeof credentials) {
    return user;
  }
  user.name = std::to_string(credentials.uid);
  user.privileged = credentials.uid == 0 || credentials.uid == ::geteuid();
  return user;
}

}  // namespace vorn::os
