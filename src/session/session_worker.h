// The thread that serves one connected client from HELLO to close.
#pragma once

#include "pipe/connection.h"
#include "session/user_places.h"

namespace vorn {

// Hands `connection`, and the place its user holds for it, to a new session
// worker thread. False when none could start; both are then released.
bool start_session_worker(Connection connection, UserPlace place = {});

// The thread entry: takes a heap-held hand-over and owns it from then on.
void SessionWorker(void* connection_argument);

// How many session workers are running right now, counted from before
// their threads start.
int active_session_workers();

}  // namespace vorn
