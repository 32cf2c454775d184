// The client's side of the endpoint, used only by the reference guard module
// and the probe: connect, send, receive, and what a client reports about
// itself (its evidence). Implemented in platform/posix/ and platform/win32/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/types.h"

namespace vorn::os {

struct ClientConnection {
  std::intptr_t raw = -1;
};
// Connects to the service's local endpoint, waiting up to `timeout_ms` for a
// free instance.
bool client_connect(ClientConnection& connection, std::uint32_t timeout_ms);
bool client_write(ClientConnection connection, const char* data,
                  std::size_t size);
// Reads one message, waiting at most `timeout_ms`. False on timeout, error or
// a closed connection; `closed` tells the last apart.
bool client_read(ClientConnection connection, std::string& message,
                 std::uint32_t timeout_ms, bool& closed);
void client_close(ClientConnection& connection);
// The running process's id and executable path, and the path of the module
// (DLL / shared object) that contains `address_in_module`.
ProcessId current_process_id();
bool current_executable_path(std::string& path);
bool module_path_of(const void* address_in_module, std::string& path);

// SHA-256 of a file's contents, for the client side that computes its own
// evidence. False when it cannot be opened or read.
bool sha256_file(const std::string& path, std::uint8_t (&digest)[32]);

}  // namespace vorn::os
