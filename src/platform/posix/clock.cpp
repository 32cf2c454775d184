#include <errno.h>
#include <time.h>

#include "platform/runtime.h"

namespace vorn::os {

std::uint64_t tick_ms() {
  timespec now{};
  // CLOCK_MONOTONIC cannot fail with a valid clock id and pointer.
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void sleep_ms(std::uint32_t ms) {
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(ms / 1000u);
  remaining.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
  // A signal (SIGTERM while stopping, say) must not cut the pause short.
  while (::nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

}  // namespace vorn::os
