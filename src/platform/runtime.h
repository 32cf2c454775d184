// The OS runtime the service's portable code runs on: clock, stop event,
// processes, pipe I/O, the listening endpoint, threads and randomness.
//
// Two real implementations (platform/posix/, platform/win32/) and one fake
// (tests/fakes/), which the unit tests link instead so that timing rules run
// on a fake clock. Every function here therefore needs all three.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/error.h"
#include "platform/types.h"

namespace vorn::os {

// ---------------------------------------------------------------- clock
// Monotonic milliseconds that stand still while the machine sleeps
// (QueryUnbiasedInterruptTime / CLOCK_MONOTONIC), so a resumed laptop does not
// look like a silent client.
std::uint64_t tick_ms();
void sleep_ms(std::uint32_t ms);

// ---------------------------------------------------------------- stop event
// The process-wide manual-reset stop event (g_stop_event). It is created once
// and stays valid until the process ends, so no poller ever sees a closed
// handle.
Error stop_event_create();
void stop_event_set();
// Zero-timeout poll: true only when the event is set. A failed wait counts as
// not set.
bool stop_event_is_set();
// Blocks until the event is set.
void stop_event_wait();

// ---------------------------------------------------------------- processes
// OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION |
// PROCESS_TERMINATE) / pidfd_open. Returns a handle that is not open on
// failure.
ProcessHandle process_open_for_session(ProcessId pid);
// Zero-timeout wait: true only for "still running" (WAIT_TIMEOUT). A handle
// that has exited or cannot be waited on gives false.
bool process_is_running(const ProcessHandle& process);
// TerminateProcess(process, 0) / SIGKILL through the pidfd. Does not wait.
void process_terminate(const ProcessHandle& process);
// The pid the held process has in its own innermost pid namespace, which is
// what its getpid() returns (a game in a sandbox with a pid namespace of its
// own). Windows has one pid per process. False when it cannot be told (the
// process has ended, or the OS does not say).
bool process_innermost_pid(const ProcessHandle& process, ProcessId& pid);

// ---------------------------------------------------------------- pipe I/O
// The process id of the client at the other end (GetNamedPipeClientProcessId
// / SO_PEERCRED).
bool pipe_client_pid(const PipeHandle& pipe, ProcessId& pid);

enum class ClientHold {
  held,         // pid and process are the client; the caller owns `process`
  pid_unknown,  // the pipe cannot tell who is at the other end
  not_held      // pid is known, but that process cannot be held as the client
};
// Takes hold of the client process the moment its connection is seen, so a
// pid reused later can never be mistaken for it. POSIX: the pidfd that the
// connection itself carries (SO_PEERPIDFD), else pidfd_open on the SO_PEERCRED
// pid; Windows: OpenProcess on the pipe's client pid. Where the handle was
// opened by pid, the process must have started before `pipe.connected_at`.
// The handle has the session's rights (wait, query, terminate).
ClientHold pipe_client_process(const PipeHandle& pipe, ProcessId& pid,
                               ProcessHandle& process);

// The account at the other end, for the fair share of places. `name` is the
// uid (POSIX) or the user SID (Windows) as text, empty when it cannot be
// told; `privileged` for root or the service's own account (POSIX) and for
// LocalSystem or an enabled Administrators membership (Windows): accounts
// that could stop the service anyway.
struct ClientUser {
  std::string name;
  bool privileged = false;
};
ClientUser pipe_client_user(const PipeHandle& pipe);

// True when the next message waiting is an empty one, which the byte count of
// pipe_bytes_waiting cannot show (POSIX). Windows cannot tell it from
// silence: always false there.
bool pipe_empty_message_waiting(const PipeHandle& pipe);

// One read of one message into buf (at most `capacity` bytes). Fails when the
// connection is broken, when the message is longer than `capacity` (the
// message is then not delivered to the caller), and on any other error.
bool pipe_read(const PipeHandle& pipe, char* buf, std::size_t capacity,
               std::size_t& bytes_read);

enum class WriteOutcome { written, failed, timed_out };
// Writes one message, waiting at most `timeout_ms` for the pipe to take it.
// `written` only when every byte went out in one message.
WriteOutcome pipe_write(const PipeHandle& pipe, const char* data,
                        std::size_t size, std::uint32_t timeout_ms);

// Total bytes waiting to be read, removing nothing (PeekNamedPipe /
// FIONREAD). Fails once the connection is broken and nothing is left to read.
bool pipe_bytes_waiting(const PipeHandle& pipe, std::uint32_t& bytes);

// Waits at most `timeout_ms` until the client has read everything written
// (FlushFileBuffers), or the connection is broken.
void pipe_flush(const PipeHandle& pipe, std::uint32_t timeout_ms);
// DisconnectNamedPipe / shutdown.
void pipe_disconnect(const PipeHandle& pipe);

// ---------------------------------------------------------------- listener
// The service's local endpoint: "\\.\pipe\VORNGuardLocalGuard" on Windows;
// on POSIX "$RUNTIME_DIRECTORY/VORNGuardLocalGuard" (RUNTIME_DIRECTORY set
// and not empty) or "/run/VORN/VORNGuardLocalGuard".
std::string endpoint_name();
// The service's places: how many clients the endpoint serves at once
// (Windows pipe instances; POSIX accepted sockets, and the listen backlog).
constexpr std::size_t kEndpointPlaces = 32;

// Prepares listening before the listener thread starts. Windows: nothing to
// do. POSIX: creates the directory when missing, replaces a stale socket file,
// binds and listens (mode 0666); fails when another instance answers at the
// endpoint or the socket cannot be made.
Error listener_open();
// Releases what listener_open made (POSIX: the socket and its file).
void listener_close();

enum class AcceptOutcome {
  connected,      // `pipe` holds a connected client, owned by the caller
  create_failed,  // no instance could be made (limit reached, error)
  connect_failed  // instance made but no client connected; already released
};
// Creates one instance and waits for one client. POSIX: the wait also wakes
// on the stop event (then connect_failed). `error` is set when a failure was
// an error, and stays none for the ordinary ones (every instance taken, a
// client gone before it was served, the stop).
AcceptOutcome accept_client(PipeHandle& pipe, Error& error);

// ---------------------------------------------------------------- threads
// What a thread runs. The thread owns it and destroys it when run() returns.
class ThreadBody {
 public:
  virtual ~ThreadBody() = default;
  virtual void run() = 0;
};

struct ThreadKind {
  // Lets go of the OS's handle (or the owner's share of it); never waits
  // for the thread and never stops it.
  static void close(std::intptr_t raw);
};

// One running thread, owned: move-only. What the thread and its owner share
// lives until both are done with it.
class Thread {
 public:
  Thread() = default;
  explicit Thread(std::intptr_t raw) : handle_(raw) {}

  bool started() const { return handle_.open(); }
  // Waits at most `timeout_ms` for the thread to end; true when it has (or
  // none was started).
  bool wait(std::uint32_t timeout_ms) const;

 private:
  Owned<ThreadKind> handle_;
};

// Starts a thread that runs `body`. Not started (the body destroyed at once)
// when the OS has no thread for it, or when `body` is empty.
Thread start_thread(std::unique_ptr<ThreadBody> body);

// ---------------------------------------------------------------- random
// Cryptographically secure bytes (BCryptGenRandom with the system-preferred
// generator / getrandom).
bool random_bytes(std::uint8_t* buffer, std::size_t size);

}  // namespace vorn::os
