#include "platform/runtime.h"
#include "platform/win32/stop_event_win32.h"

namespace vorn::os {

HANDLE g_stop_event = nullptr;

Error stop_event_create() {
  if (g_stop_event != nullptr) return Error();
  // Manual reset, not set, unnamed, default security: once set it stays set,
  // so every poller sees it.
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return last_system_error();
  g_stop_event = event;
  return Error();
}

void stop_event_set() {
  if (g_stop_event != nullptr) SetEvent(g_stop_event);
}

bool stop_event_is_set() {
  if (g_stop_event == nullptr) return false;
  return WaitForSingleObject(g_stop_event, 0) == WAIT_OBJECT_0;
}

void stop_event_wait() {
  // Without an event the wait fails at once: nothing could ever set it.
  if (g_stop_event != nullptr) WaitForSingleObject(g_stop_event, INFINITE);
}

}  // namespace vorn::os
