// The thread that serves one connected client from HELLO to close.
#pragma once

namespace vorn {

// The argument is the connected pipe handle's raw value, cast to a pointer.
void SessionWorker(void* pipe_argument);

}  // namespace vorn
