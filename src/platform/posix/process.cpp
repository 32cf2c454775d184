#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include "platform/platform.h"
#include "platform/posix/fd_util.h"

// Older C library headers lack the numbers; they are the same on every
// architecture since the unified syscall table.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace vorn::os {

ProcessHandle process_open_for_session(ProcessId pid) {
  ProcessHandle process;
  if (pid == 0 || pid > static_cast<ProcessId>(INT_MAX)) return process;
  // A pidfd keeps naming this very process even after its pid is reused.
  const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd < 0) return process;
  process.raw = static_cast<std::intptr_t>(fd);
  process.open = true;
  return process;
}

bool process_is_running(ProcessHandle process) {
  if (!process.open) return false;
  // A pidfd polls readable once the process has exited.
  pollfd entry{static_cast<int>(process.raw), POLLIN, 0};
  const int ready = posix::retry_on_eintr([&] { return ::poll(&entry, 1, 0); });
  return ready == 0;
}

void process_terminate(ProcessHandle process) {
  if (!process.open) return;
  (void)::syscall(SYS_pidfd_send_signal, static_cast<int>(process.raw), SIGKILL,
                  nullptr, 0);
}

void process_close(ProcessHandle& process) {
  if (process.open) ::close(static_cast<int>(process.raw));
  process.raw = 0;
  process.open = false;
}

}  // namespace vorn::os
