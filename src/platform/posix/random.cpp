#include <errno.h>
#include <sys/random.h>

#include "platform/runtime.h"

namespace vorn::os {

bool random_bytes(std::uint8_t* buffer, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    // Blocks only until the kernel's generator is first seeded at boot.
    const ssize_t got = ::getrandom(buffer + filled, size - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace vorn::os
