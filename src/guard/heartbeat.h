// The heartbeats of an open session: a PING every interval, and each PONG
// matched with its PING for the round-trip statistics.
#pragma once

#include "guard/session.h"

namespace vorn::guard {

// Sends PINGs on the session's open connection until a stop is requested or
// the connection fails or closes.
void heartbeat_loop(Session* session);

}  // namespace vorn::guard
