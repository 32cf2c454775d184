#include "client/timed_read.h"

#include "platform/runtime.h"

namespace vorn::client {

ReadResult read_for(const os::ClientConnection& connection,
                    std::uint32_t wait_ms, std::string& message) {
  const std::uint64_t start = os::tick_ms();
  bool closed = false;
  if (os::client_read(connection, message, wait_ms, closed)) {
    return ReadResult::message;
  }
  if (closed) return ReadResult::closed;
  const std::uint64_t elapsed = os::tick_ms() - start;
  if (elapsed < wait_ms) {
    os::sleep_ms(static_cast<std::uint32_t>(wait_ms - elapsed));
  }
  return ReadResult::nothing;
}

}  // namespace vorn::client
