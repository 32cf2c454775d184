// The thread that accepts clients and starts one session worker each.
#pragma once

#include <memory>

#include "platform/runtime.h"
#include "protocol/rules.h"
#include "session/supervisor.h"

namespace vorn {

// The banner and the pause after a failed creation (kCreateRetryMs) are in
// protocol/rules.h.

// What the listener thread runs: logs the banner, then accepts clients until
// a poll finds the stop event set, starting their workers with `workers`.
std::unique_ptr<os::ThreadBody> listener_work(Supervisor workers);

}  // namespace vorn
