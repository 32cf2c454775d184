// One connected AF_UNIX SOCK_SEQPACKET socket: the POSIX form of a
// message-mode pipe instance. One send is one message, one recv takes at most
// one message.
#include <errno.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/posix/fd_util.h"
#include "platform/posix/runtime_internal.h"
#include "platform/runtime.h"

namespace vorn::os {

namespace {

int fd_of(PipeHandle pipe) { return static_cast<int>(pipe.raw); }

// SO_PEERPIDFD, which older C library headers lack.
constexpr int kPeerPidfdOption = 77;

// The poll events that tell the peer has closed or the socket failed.
short hangup_events(int fd) {
  pollfd entry{fd, POLLIN | POLLRDHUP, 0};
  const int ready = posix::retry_on_eintr([&] { return ::poll(&entry, 1, 0); });
  if (ready < 0) return POLLERR;
  return static_cast<short>(entry.revents &
                            (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL));
}

}  // namespace

bool pipe_client_pid(PipeHandle pipe, ProcessId& pid) {
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

ClientUser pipe_client_user(PipeHandle pipe) {
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

ClientHold pipe_client_process(PipeHandle pipe, ProcessId& pid,
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
    process.raw = pidfd;
    process.open = true;
    return ClientHold::held;
  }
  // Only an older kernel that lacks the option falls back; any other error
  // (the client has gone, say) means it cannot be held.
  if (errno != ENOPROTOOPT) return ClientHold::not_held;
  process = process_open_for_session(pid);
  if (!process.open) return ClientHold::not_held;
  // The pid may have passed to a process started after the client left; that
  // one started after the connection was accepted. (A client that left while
  // its connection still waited in the backlog is not caught this way: only
  // the kernel's own pidfd closes that window.)
  std::uint64_t started_at = 0;
  if (pipe.connected_at != 0 &&
      (!posix::process_start_time_ns(pid, started_at) ||
       started_at > pipe.connected_at || !process_is_running(process))) {
    process_close(process);
    return ClientHold::not_held;
  }
  return ClientHold::held;
}

bool pipe_empty_message_waiting(PipeHandle pipe) {
  // Readable with nothing queued: an empty message heads the queue (a
  // hang-up shows through pipe_bytes_waiting instead).
  pollfd entry{fd_of(pipe), POLLIN, 0};
  int queued = 0;
  return posix::retry_on_eintr([&] { return ::poll(&entry, 1, 0); }) == 1 &&
         (entry.revents & POLLIN) != 0 &&
         ::ioctl(fd_of(pipe), FIONREAD, &queued) == 0 && queued == 0;
}

bool pipe_read(PipeHandle pipe, char* buf, std::size_t capacity,
               std::size_t& bytes_read) {
  bytes_read = 0;
  // MSG_TRUNC makes recv report the message's full length while copying at
  // most `capacity` bytes. Unlike a Windows pipe, the kernel drops the rest of
  // an over-long message, so it is not seen by the next read either.
  const ssize_t length = posix::retry_on_eintr(
      [&] { return ::recv(fd_of(pipe), buf, capacity, MSG_TRUNC); });
  // 0 is an orderly shutdown or a zero-length message: neither is a message.
  if (length <= 0) return false;
  if (static_cast<std::size_t>(length) > capacity) return false;
  bytes_read = static_cast<std::size_t>(length);
  return true;
}

WriteOutcome pipe_write(PipeHandle pipe, const char* data, std::size_t size,
                        std::uint32_t timeout_ms) {
  const int fd = fd_of(pipe);
  const std::uint64_t deadline = tick_ms() + timeout_ms;
  for (;;) {
    // Non-blocking, so a client that never reads cannot hold the writer
    // longer than the bound; MSG_NOSIGNAL, so a gone client is an error and
    // not a SIGPIPE.
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      return static_cast<std::size_t>(sent) == size ? WriteOutcome::written
                                                    : WriteOutcome::failed;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return WriteOutcome::failed;
    const std::uint64_t now = tick_ms();
    if (now >= deadline) return WriteOutcome::timed_out;
    pollfd entry{fd, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(deadline - now));
    if (ready < 0 && errno != EINTR) return WriteOutcome::failed;
    if (ready > 0 && (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
        (entry.revents & POLLOUT) == 0) {
      return WriteOutcome::failed;
    }
  }
}

bool pipe_bytes_waiting(PipeHandle pipe, std::uint32_t& bytes) {
  const int fd = fd_of(pipe);
  // Hang-up first, queue second: whatever the client sent before closing is
  // already queued when the hang-up shows, so a BYE followed by a close is
  // still read.
  const short hangup = hangup_events(fd);
  if ((hangup & POLLNVAL) != 0) return false;
  int queued = 0;
  // FIONREAD on a SEQPACKET socket sums every queued message (a zero-length
  // one adds nothing).
  if (::ioctl(fd, FIONREAD, &queued) != 0 || queued < 0) return false;
  if (queued == 0 && hangup != 0) return false;
  bytes = static_cast<std::uint32_t>(queued);
  return true;
}

void pipe_flush(PipeHandle pipe, std::uint32_t timeout_ms) {
  // On AF_UNIX the bytes we sent stay charged to our socket (SIOCOUTQ) until
  // the peer has read them, so an empty count means the client has read
  // everything. Even without this wait, a last reply queued before shutdown
  // or close still reaches the client: AF_UNIX keeps it in the peer's
  // receive queue. The wait only keeps the timing of a Windows flush.
  constexpr std::uint32_t kStepMs = 5;
  const int fd = fd_of(pipe);
  const std::uint64_t deadline = tick_ms() + timeout_ms;
  for (;;) {
    int unread = 0;
    if (::ioctl(fd, SIOCOUTQ, &unread) != 0 || unread <= 0) return;
    // The peer is gone: its queue, and our charge, are being freed.
    if ((hangup_events(fd) & (POLLHUP | POLLERR | POLLNVAL)) != 0) return;
    const std::uint64_t now = tick_ms();
    if (now >= deadline) return;
    sleep_ms(static_cast<std::uint32_t>(
        std::min<std::uint64_t>(kStepMs, deadline - now)));
  }
}

void pipe_disconnect(PipeHandle pipe) {
  if (pipe.raw >= 0) ::shutdown(fd_of(pipe), SHUT_RDWR);
}

void pipe_close(PipeHandle& pipe) {
  if (pipe.raw >= 0) {
    // Forget it first: once closed, the number may belong to a new client.
    posix::forget_accepted_connection(fd_of(pipe));
    ::close(fd_of(pipe));
  }
  pipe.raw = -1;
}

}  // namespace vorn::os
