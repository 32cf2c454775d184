// Reads from the service with a time bound, in short pieces that look at the
// stop request between them, so no wait keeps a stop waiting long.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/client.h"

namespace vorn::guard {

// The module's thread looks at the stop request at least this often.
constexpr std::uint32_t kPollSliceMs = 50;

// True when `stop` is given and set.
bool stopping(const std::atomic<bool>* stop);

// Reads one message for at most `wait_ms`; never returns sooner without a
// reason, so a read that fails at once cannot make the caller spin.
enum class ReadResult { message, nothing, closed };
ReadResult read_for(const os::ClientConnection& connection,
                    std::uint32_t wait_ms, std::string& message);

// Waits for one reply for at most `timeout_ms`, looking at the stop request
// between short reads.
ReadResult await_reply(const os::ClientConnection& connection,
                       std::uint32_t timeout_ms, const std::atomic<bool>* stop,
                       std::string& reply);

// After BYE the service closes its end; waiting for that (a second at most)
// makes sure the BYE was taken before this side goes away.
void wait_for_service_close(const os::ClientConnection& connection);

}  // namespace vorn::guard
