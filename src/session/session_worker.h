// The thread that serves one connected client from HELLO to close.
#pragma once

namespace vorn {

// The argument is the connected pipe handle's raw value, cast to a pointer.
void SessionWorker(void* pipe_argument);

// How many session workers are running right now.
int active_session_workers();

}  // namespace vorn
