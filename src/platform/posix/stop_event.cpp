#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "platform/posix/fd_util.h"
#include "platform/posix/runtime_internal.h"
#include "platform/runtime.h"

namespace vorn::os {

namespace {

// An eventfd that is written once and never read: its counter stays above
// zero, so it polls readable for good once set (a manual-reset event). It is
// never closed, so no poller can see a stale descriptor while the process
// winds down. Lock-free atomic, so the signal handler may read it.
std::atomic<int> g_stop_event{-1};
// The same state for the zero-timeout polls: every session thread asks about
// every 200 ms, and reading a flag spares each of them a system call.
std::atomic<bool> g_stop_set{false};
static_assert(std::atomic<bool>::is_always_lock_free,
              "set from a signal handler");

bool poll_stop_event(int timeout_ms) {
  const int fd = g_stop_event.load();
  if (fd < 0) return false;
  pollfd entry{fd, POLLIN, 0};
  const int ready =
      posix::retry_on_eintr([&] { return ::poll(&entry, 1, timeout_ms); });
  return ready > 0 && (entry.revents & POLLIN) != 0;
}

}  // namespace

namespace posix {

int stop_event_fd() { return g_stop_event.load(); }

}  // namespace posix

Error stop_event_create() {
  if (g_stop_event.load() >= 0) return Error();
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return last_system_error();
  int expected = -1;
  // Two racing creators: the loser's descriptor is not needed.
  if (!g_stop_event.compare_exchange_strong(expected, fd)) ::close(fd);
  return Error();
}

// Async-signal-safe: the host calls this from its SIGTERM/SIGINT handler.
void stop_event_set() {
  const int saved_errno = errno;
  const int fd = g_stop_event.load();
  if (fd >= 0) {
    const std::uint64_t one = 1;
    // Nothing to do on failure: a full counter (EAGAIN) is already set.
    const ssize_t ignored = ::write(fd, &one, sizeof one);
    (void)ignored;
    g_stop_set.store(true);
  }
  errno = saved_errno;
}

bool stop_event_is_set() { return g_stop_set.load(); }

void stop_event_wait() {
  // Without an event there is nothing that could ever set it.
  if (g_stop_event.load() < 0) return;
  while (!poll_stop_event(-1)) {
  }
}

}  // namespace vorn::os
