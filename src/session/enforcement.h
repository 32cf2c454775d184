// Logging and terminating a client that broke a rule.
#pragma once

#include "pipe/client_process.h"
#include "platform/types.h"

namespace vorn {

constexpr char kReasonReplay[] = "LOCAL_PROTOCOL_REPLAY";
constexpr char kReasonInvalid[] = "LOCAL_PROTOCOL_INVALID";
constexpr char kReasonHeartbeatTimeout[] = "LOCAL_GUARD_HEARTBEAT_TIMEOUT";
constexpr char kReasonIntegrityChanged[] = "RUNTIME_INTEGRITY_CHANGED";

// Logs "ENFORCEMENT pid=N reason=R" and terminates the client with exit code
// 0, only when the process is held and still runs. Does not wait and does
// not close the handle.
void enforce(const ClientProcess& process, os::ProcessId pid,
             const char* reason);

}  // namespace vorn
