#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/posix/fd_util.h"
#include "platform/posix/runtime_internal.h"
#include "platform/runtime.h"

// Older C library headers lack the numbers; they are the same on every
// architecture since the unified syscall table.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace vorn::os {

namespace posix {

std::uint64_t boot_time_now_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

bool process_start_time_ns(ProcessId pid, std::uint64_t& started_at) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  UniqueFd fd(retry_on_eintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY); }));
  if (!fd.valid()) return false;
  // The command name may hold blanks and parentheses, so the fields are
  // counted from the last ')'; a stat line is far shorter than this.
  char buffer[1024];
  const ssize_t count = retry_on_eintr(
      [&] { return ::read(fd.get(), buffer, sizeof buffer - 1); });
  if (count <= 0) return false;
  const std::string text(buffer, static_cast<std::size_t>(count));
  std::size_t position = text.rfind(')');
  if (position == std::string::npos) return false;
  // Field 22, starttime, is the 20th after the name.
  for (int field = 0; field < 20; ++field) {
    position = text.find(' ', position + 1);
    if (position == std::string::npos) return false;
  }
  const unsigned long long ticks =
      std::strtoull(text.c_str() + position + 1, nullptr, 10);
  const long per_second = ::sysconf(_SC_CLK_TCK);
  if (per_second <= 0) return false;
  started_at = static_cast<std::uint64_t>(ticks) *
               (1000000000u / static_cast<std::uint64_t>(per_second));
  return true;
}

}  // namespace posix

ProcessHandle process_open_for_session(ProcessId pid) {
  if (pid == 0 || pid > static_cast<ProcessId>(INT_MAX)) return {};
  // A pidfd keeps naming this very process even after its pid is reused.
  const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
  if (fd < 0) return {};
  return ProcessHandle(static_cast<std::intptr_t>(fd));
}

bool process_is_running(const ProcessHandle& process) {
  if (!process.open()) return false;
  // A pidfd polls readable once the process has exited.
  pollfd entry{static_cast<int>(process.raw()), POLLIN, 0};
  const int ready = posix::retry_on_eintr([&] { return ::poll(&entry, 1, 0); });
  return ready == 0;
}

void process_terminate(const ProcessHandle& process) {
  if (!process.open()) return;
  (void)::syscall(SYS_pidfd_send_signal, static_cast<int>(process.raw()),
                  SIGKILL, nullptr, 0);
}

void ProcessKind::close(std::intptr_t raw) { ::close(static_cast<int>(raw)); }

}  // namespace vorn::os
