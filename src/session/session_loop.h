// The second half of a session worker: heartbeats, re-checks, the close.
#pragma once

#include <cstdint>

#include "protocol/wire.h"
#include "session/session_state.h"

namespace vorn {

constexpr std::uint32_t kPollIntervalMs = 200;

// Runs passes until the session ends, then closes the process handle, logs
// "SESSION CLOSED pid=N" and releases the pipe.
void run_session_loop(SessionState& state);

}  // namespace vorn
