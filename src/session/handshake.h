// The first half of a session worker: HELLO, integrity check, token, OK.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "integrity/hash_turn.h"
#include "pipe/connection.h"
#include "protocol/wire.h"
#include "session/session_state.h"

namespace vorn {

// A client that sends no first message within this time is dropped.
constexpr std::uint32_t kFirstMessageTimeoutMs = 12000;
// How often the wait for the first message looks at the pipe: every
// millisecond at first, where a guard module's HELLO follows its connect,
// then less often.
constexpr std::uint32_t kFirstMessagePollMs = 5;
constexpr std::uint32_t kFirstMessageEagerPollMs = 1;
constexpr std::uint32_t kFirstMessageEagerMs = 20;

// Returns the session, or nothing once it has replied (or not) and released
// the client process and the connection. `hash_turn` (may be null) is the
// client's user's turn at hashing, taken for each file hashed.
std::optional<SessionState> run_handshake(Connection connection,
                                          HashTurn* hash_turn = nullptr);

// 64 upper-case hex digits from 32 random bytes; empty when the generator
// fails.
std::string generate_session_token();

}  // namespace vorn
