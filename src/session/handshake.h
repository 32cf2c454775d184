// The first half of a session worker: HELLO, integrity check, token, OK.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "integrity/hash_turn.h"
#include "pipe/connection.h"
#include "protocol/rules.h"
#include "session/session_state.h"

namespace vorn {

// The first message's wait (kFirstMessage*) is in protocol/rules.h.

// Returns the session, or nothing once it has replied (or not) and released
// the client process and the connection. `hash_turn` (may be null) is the
// client's user's turn at hashing, taken for each file hashed.
std::optional<SessionState> run_handshake(Connection connection,
                                          HashTurn* hash_turn = nullptr);

// 64 upper-case hex digits from 32 random bytes; empty when the generator
// fails.
std::string generate_session_token();

}  // namespace vorn
