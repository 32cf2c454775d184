// A connected server/client pair of the real transport, for channel tests:
// a message-mode named pipe instance and a client handle on Windows, an
// AF_UNIX SOCK_SEQPACKET socket pair on POSIX.
#pragma once

#include <cstddef>
#include <string>

#include "platform/types.h"

namespace vorn::test {

struct PipePair {
  os::PipeHandle server;      // what the service side sees
  std::intptr_t client = -1;  // raw client handle / fd
};

bool open_pipe_pair(PipePair& pair);
// Writes exactly these bytes as one message from the client side.
bool client_send_raw(const PipePair& pair, const std::string& bytes);
// Reads one whole message on the client side (up to 64 KiB), waiting at most
// timeout_ms. False on timeout, error or closed connection.
bool client_receive_raw(const PipePair& pair, std::string& bytes,
                        unsigned timeout_ms);
// Closes the client end (the server end is the test's to close).
void close_client(PipePair& pair);

}  // namespace vorn::test
