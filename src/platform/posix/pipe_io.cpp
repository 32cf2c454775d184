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

int fd_of(const PipeHandle& pipe) { return static_cast<int>(pipe.raw()); }

// The poll events that tell the peer has closed or the socket failed.
short hangup_events(int fd) {
  pollfd entry{fd, POLLIN | POLLRDHUP, 0};
  const int ready = posix::retry_on_eintr([&] { return ::poll(&entry, 1, 0); });
  if (ready < 0) return POLLERR;
  return static_cast<short>(entry.revents &
                            (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL));
}

}  // namespace

bool pipe_empty_message_waiting(const PipeHandle& pipe) {
  // Readable with nothing queued: an empty message heads the queue (a
  // hang-up shows through pipe_bytes_waiting instead).
  pollfd entry{fd_of(pipe), POLLIN, 0};
  int queued = 0;
  return posix::retry_on_eintr([&] { return ::poll(&entry, 1, 0); }) == 1 &&
         (entry.revents & POLLIN) != 0 &&
         ::ioctl(fd_of(pipe), FIONREAD, &queued) == 0 && queued == 0;
}

bool pipe_read(const PipeHandle& pipe, char* buf, std::size_t capacity,
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

WriteOutcome pipe_write(const PipeHandle& pipe, const char* data,
                        std::size_t size, std::uint32_t timeout_ms) {
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

bool pipe_bytes_waiting(const PipeHandle& pipe, std::uint32_t& bytes) {
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

void pipe_flush(const PipeHandle& pipe, std::uint32_t timeout_ms) {
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

void pipe_disconnect(const PipeHandle& pipe) {
  if (pipe.raw() >= 0) ::shutdown(fd_of(pipe), SHUT_RDWR);
}

void PipeKind::close(std::intptr_t raw) {
  // Forget it first: once closed, the number may belong to a new client.
  posix::forget_accepted_connection(static_cast<int>(raw));
  ::close(static_cast<int>(raw));
}

}  // namespace vorn::os
