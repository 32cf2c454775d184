// The service's one start-stop sequence, on every platform: open the
// endpoint, start the listener (whose first act is the banner), wait for the
// stop, let the listener and the session workers end, close the endpoint.
// The hosts around it keep only what is theirs: the service manager's
// reports, signals, the stop event's creation.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

namespace vorn {

// How long the service waits for the listener after a stop; what is left of
// it lets running session workers write their CLOSED lines.
constexpr std::uint32_t kListenerStopWaitMs = 2000;
// How long the end waits for the operator's channel to take its last lines.
constexpr std::uint32_t kDiagnosticsFlushMs = 500;
constexpr char kServiceTitle[] = "VORN Local Guard Service " VORN_VERSION;

// What a host reports along the way; either may be left out.
struct ServiceHooks {
  // The endpoint is open; the listener starts right after (Windows: report
  // running; Linux: tell systemd it is ready).
  void (*listening)(const std::string& endpoint) = nullptr;
  // The listener and the workers had their time; the endpoint closes next.
  void (*stopping)() = nullptr;
};

// Runs the service until the stop event is set. Fails when the endpoint
// cannot be opened (told on the operator's channel too); nothing has started
// then. A listener thread that cannot start leaves the service running
// without clients until the stop. Session workers still running at the end
// are not waited for longer.
os::Error service_run(const ServiceHooks& hooks);

}  // namespace vorn
