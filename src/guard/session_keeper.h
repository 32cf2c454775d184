// The module's thread: keeps the session open until a stop, reconnecting
// after the service ends it or cannot be reached, and tells the caller
// through the event callback.
#pragma once

#include "guard/session.h"

namespace vorn::guard {

// Runs on the module's thread until a stop is requested or the service
// refuses for good. Leaves an open connection to vorn_guard_stop, which says
// BYE on it.
void keep_session(Session* session);

}  // namespace vorn::guard
