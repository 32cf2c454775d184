// The client's side of the endpoint, used only by the reference guard module
// and the probe: connect, send, receive, and what a client reports about
// itself (its evidence). Implemented in platform/posix/ and platform/win32/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/error.h"
#include "platform/types.h"

namespace vorn::os {

struct ClientConnectionKind {
  static void close(std::intptr_t raw);
};
// The client's end of one connection to the service.
using ClientConnection = Owned<ClientConnectionKind>;

// Where a client looks for the service: VORN_GUARD_ENDPOINT when set and not
// empty (tests, unusual installs), else the service's fixed endpoint
// ("\\.\pipe\VORNGuardLocalGuard", "/run/VORN/VORNGuardLocalGuard").
struct ClientEndpoint {
  std::string name;
  bool overridden = false;
};
ClientEndpoint client_endpoint();

enum class ConnectResult {
  connected,
  // Nothing listens at the endpoint (no such pipe or socket, or nobody
  // accepts on it), or another failure: told at once.
  unreachable,
  // The service listens, but every place stayed taken for the whole wait.
  busy,
  // Something answers, but not the service: Windows, the pipe's server
  // process is not the running service's; POSIX, the socket's other end
  // runs neither as root nor (with an overridden endpoint) as this user.
  not_the_service,
};
// Connects to client_endpoint() and checks who answers before anything is
// sent. Fails at once when nothing listens; waits up to `timeout_ms` only
// while the service is there but all its places are taken (POSIX EAGAIN,
// Windows ERROR_PIPE_BUSY, or no pipe while the service runs: between two
// instances). Windows opens the pipe for identification only,
// so its server cannot act as this user. `error`, when given, gets why it
// did not connect.
ConnectResult client_connect(ClientConnection& connection,
                             std::uint32_t timeout_ms, Error* error = nullptr);

// Whether anything listens at client_endpoint() now, busy or not, without
// waiting or connecting: fails, with the system's words, when nothing does.
// POSIX looks at the socket file: one left behind by a killed service counts
// until a connect finds nobody there.
Error client_endpoint_listening();
bool client_write(const ClientConnection& connection, const char* data,
                  std::size_t size);
// Reads one message, waiting at most `timeout_ms`. False on timeout, error or
// a closed connection; `closed` tells the last apart.
bool client_read(const ClientConnection& connection, std::string& message,
                 std::uint32_t timeout_ms, bool& closed);
// Keeps the module (DLL / shared object) that contains `address_in_module`
// loaded for the rest of the process's life, whatever the program unloads
// later: the module's own thread runs its code.
bool pin_module_of(const void* address_in_module);

// Has `handler` run in the child of every later fork(), on the forking
// thread, before fork() returns there. Only plain stores belong in it.
// Windows has no fork: nothing to do, true.
bool on_fork_child(void (*handler)());

// The running process's id and executable path, and the path of the module
// (DLL / shared object) that contains `address_in_module`.
ProcessId current_process_id();
bool current_executable_path(std::string& path);
bool module_path_of(const void* address_in_module, std::string& path);

// SHA-256 of a file's contents, for the client side that computes its own
// evidence. False when it cannot be opened or read.
bool sha256_file(const std::string& path, std::uint8_t (&digest)[32]);

// What names the version of the file at `path`, from the file as sha256_file
// opens it, without reading it: POSIX device, inode, size, modification and
// change time; Windows volume serial, file index, size, last write and change
// time. Only a key for the module's own cache: the service verifies anyway.
bool file_version(const std::string& path, FileIdentity& identity);

// Where the guard module keeps its evidence between launches, in the
// player's own cache folder ($XDG_CACHE_HOME/vorn-guard/evidence, else
// ~/.cache/vorn-guard/evidence; %LOCALAPPDATA%\VORN\Guard\evidence), its
// folder made when missing. Empty when there is no such folder.
std::string guard_evidence_cache_path();

// Renames `from` over `to` in one step, replacing `to` when it exists.
bool replace_file(const std::string& from, const std::string& to);

}  // namespace vorn::os
