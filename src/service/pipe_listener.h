// The thread that accepts clients and starts one session worker each.
#pragma once

#include <memory>

#include "platform/runtime.h"
#include "session/supervisor.h"

namespace vorn {

constexpr char kBanner[] = "VORN Local Guard Service 1.0.0 ONLINE";
// Pause after an instance could not be created.
constexpr unsigned kCreateRetryMs = 1000;

// What the listener thread runs: logs the banner, then accepts clients until
// a poll finds the stop event set, starting their workers with `workers`.
std::unique_ptr<os::ThreadBody> listener_work(Supervisor workers);

}  // namespace vorn
