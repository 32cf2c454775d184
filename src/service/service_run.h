// What the service does between "running" and "stopped", on every platform.
#pragma once

#include <cstdint>

namespace vorn {

// How long the host waits for the listener after a stop.
constexpr std::uint32_t kListenerStopWaitMs = 2000;

// Starts the listener, waits for the stop event, then waits at most
// kListenerStopWaitMs for the listener. Session workers are not waited for.
void run_until_stopped();

}  // namespace vorn
