// The work of one session worker thread: one connected client from HELLO to
// close.
#pragma once

#include <memory>

#include "pipe/connection.h"
#include "platform/runtime.h"
#include "session/user_places.h"

namespace vorn {

// What a worker thread runs for `connection`, holding the place its user
// holds for it until the connection is closed. Empty when there is no memory
// for it; both are then released.
std::unique_ptr<os::ThreadBody> session_work(Connection connection,
                                             UserPlace place = {});

}  // namespace vorn
