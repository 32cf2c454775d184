// The thread that accepts clients and starts one session worker each.
#pragma once

namespace vorn {

constexpr char kBanner[] = "VORN Local Guard Service 1.0.0 ONLINE";
// Pause after an instance could not be created.
constexpr unsigned kCreateRetryMs = 1000;

// Logs the banner, then accepts clients until a poll finds the stop event set.
void PipeListener(void* unused);

}  // namespace vorn
