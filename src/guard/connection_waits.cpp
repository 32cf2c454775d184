#include "guard/connection_waits.h"

#include "platform/runtime.h"

namespace vorn::guard {

namespace {

// How long vorn_guard_stop waits for the service to close after BYE.
constexpr std::uint32_t kByeCloseWaitMs = 1000;

}  // namespace

bool stopping(const std::atomic<bool>* stop) {
  return stop != nullptr && stop->load();
}

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

ReadResult await_reply(const os::ClientConnection& connection,
                       std::uint32_t timeout_ms, const std::atomic<bool>* stop,
                       std::string& reply) {
  const std::uint64_t start = os::tick_ms();
  for (;;) {
    const std::uint64_t elapsed = os::tick_ms() - start;
    if (elapsed >= timeout_ms || stopping(stop)) return ReadResult::nothing;
    const std::uint64_t left = timeout_ms - elapsed;
    const ReadResult result = read_for(
        connection,
        static_cast<std::uint32_t>(left < kPollSliceMs ? left : kPollSliceMs),
        reply);
    if (result != ReadResult::nothing) return result;
  }
}

void wait_for_service_close(const os::ClientConnection& connection) {
  const std::uint64_t start = os::tick_ms();
  for (;;) {
    const std::uint64_t elapsed = os::tick_ms() - start;
    if (elapsed >= kByeCloseWaitMs) return;
    const std::uint64_t left = kByeCloseWaitMs - elapsed;
    std::string message;
    if (read_for(connection,
                 static_cast<std::uint32_t>(left < kPollSliceMs ? left
                                                                : kPollSliceMs),
                 message) == ReadResult::closed) {
      return;
    }
  }
}

}  // namespace vorn::guard
