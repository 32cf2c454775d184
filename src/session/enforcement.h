// Logging and terminating a client that broke a rule.
#pragma once

#include "pipe/client_process.h"
#include "platform/types.h"
#include "protocol/rules.h"

namespace vorn {

// The reasons (kReason*) are in protocol/rules.h.

// Logs "ENFORCEMENT pid=N reason=R" and terminates the client with exit code
// 0, only when the process is held and still runs. Does not wait and does
// not close the handle.
void enforce(const ClientProcess& process, os::ProcessId pid,
             const char* reason);

}  // namespace vorn
