// The per-client record that the handshake fills and the session loop uses.
// It owns the connection and the client process: moved, never copied, and
// released by its destructor on any path that does not close it first.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "integrity/integrity.h"
#include "pipe/client_process.h"
#include "pipe/connection.h"
#include "platform/types.h"

namespace vorn {

struct SessionState {
  // Declared before the process, so a state that is dropped releases the
  // process handle first, as a session's close does.
  Connection connection;
  os::ProcessId client_pid = 0;
  ClientProcess client_process;
  std::string token;
  IntegrityRecord integrity_record;
  // The user's turn at hashing, for the re-checks (null: not limited).
  std::timed_mutex* hash_turn = nullptr;
  std::uint64_t last_heartbeat_tick = 0;
  std::uint64_t last_recheck_tick = 0;
  // When the code is looked at next.
  std::uint64_t next_code_look_tick = 0;
  std::int64_t last_sequence = 0;
};

}  // namespace vorn
