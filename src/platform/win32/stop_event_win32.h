// The process-wide stop event's handle, shared by the runtime's stop-event
// file and the service host's tests, which set and poll it directly.
#pragma once

#include <windows.h>

namespace vorn::os {

// Null until stop_event_create succeeded. Assigned once by the service main
// routine before it reports the service running, so every thread that can
// set or poll it (the control handler, the listener, the session workers)
// starts looking at it only after it was written. Never closed: a poller may
// still look at it while the process winds down.
extern HANDLE g_stop_event;

}  // namespace vorn::os
