// The second half of a session worker: heartbeats, re-checks, the close.
#pragma once

#include <cstdint>

#include "protocol/rules.h"
#include "session/session_state.h"

namespace vorn {

// Its poll interval, heartbeat deadline and re-check interval are in
// protocol/rules.h.

// Runs passes until the session ends, then closes the process handle, logs
// "SESSION CLOSED pid=N" and releases the pipe.
void run_session_loop(SessionState& state);

}  // namespace vorn
