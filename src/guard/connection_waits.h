// Reads from the service with a time bound, in short pieces that look at the
// stop request between them, so no wait keeps a stop waiting long.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "client/timed_read.h"
#include "platform/client.h"
#include "protocol/rules.h"

namespace vorn::guard {

// The module's waits (guard::kPollSliceMs, kByeCloseWaitMs, ...) are in
// protocol/rules.h.

// True when `stop` is given and set.
bool stopping(const std::atomic<bool>* stop);

// The module's reads bounded in time are the client side's one kind.
using client::read_for;
using client::ReadResult;

// Waits for one reply for at most `timeout_ms`, looking at the stop request
// between short reads.
ReadResult await_reply(const os::ClientConnection& connection,
                       std::uint32_t timeout_ms, const std::atomic<bool>* stop,
                       std::string& reply);

// After BYE the service closes its end; waiting for that (a second at most)
// makes sure the BYE was taken before this side goes away.
void wait_for_service_close(const os::ClientConnection& connection);

}  // namespace vorn::guard
