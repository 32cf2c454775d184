// The service's one start-stop sequence, on every platform: open the
// endpoint, start the listener (whose first act is the banner), wait for the
// stop, let the listener and the session workers end, close the endpoint.
// The hosts around it keep only what is theirs: the service manager's
// reports, signals, the stop event's creation.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"
#include "protocol/rules.h"

namespace vorn {

// Its waits at the end (kListenerStopWaitMs, kDiagnosticsFlushMs) and its
// title are in protocol/rules.h.

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
