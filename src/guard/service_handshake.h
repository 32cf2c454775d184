// Opening a session with the service: connecting (a busy service is waited
// for, one that is absent or not the guard service is not), computing the
// evidence, saying HELLO and reading what the reply means.
#pragma once

#include <atomic>

#include "guard/session.h"

namespace vorn::guard {

// Connects, says HELLO and reads the answer. On VORN_GUARD_OK the session's
// connection stays open and its token is set; otherwise nothing is left open
// and the last error says why. `stop`, when given, cuts the waits short.
int handshake(Session& session, const std::atomic<bool>* stop);

}  // namespace vorn::guard
