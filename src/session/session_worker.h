// The thread that serves one connected client from HELLO to close.
#pragma once

#include "pipe/connection.h"

namespace vorn {

// Hands `connection` to a new session worker thread. False when none could
// start; the connection is then released.
bool start_session_worker(Connection connection);

// The thread entry: takes a heap-held Connection and owns it from then on.
void SessionWorker(void* connection_argument);

// How many session workers are running right now, counted from before
// their threads start.
int active_session_workers();

}  // namespace vorn
