// One read from the service bounded in time, for the client side (the guard
// module and the probe), over the platform's client_read.
#pragma once

#include <cstdint>
#include <string>

#include "platform/client.h"

namespace vorn::client {

enum class ReadResult { message, nothing, closed };

// Reads one message for at most `wait_ms`; never returns sooner without a
// reason, so a read that fails at once cannot make the caller spin.
ReadResult read_for(const os::ClientConnection& connection,
                    std::uint32_t wait_ms, std::string& message);

}  // namespace vorn::client
