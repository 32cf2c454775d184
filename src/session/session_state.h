// The per-client record that the handshake fills and the session loop uses.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "session/integrity.h"

namespace vorn {

struct SessionState {
  os::PipeHandle pipe;
  os::ProcessId client_pid = 0;
  os::ProcessHandle client_process;
  std::string token;
  IntegrityRecord integrity_record;
  std::uint64_t last_heartbeat_tick = 0;
  std::uint64_t last_recheck_tick = 0;
  std::int64_t last_sequence = 0;
};

}  // namespace vorn
