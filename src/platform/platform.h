// The operating system, seen through the few operations the service needs.
//
// Everything above this header (log/, pipe/, session/ and
// service/service_run) is portable and includes no OS header; the two service
// hosts (service/win32/, service/posix/) are the OS's own. There are two
// implementations: platform/win32/ (named pipes, Win32 processes, BCrypt) and
// platform/posix/ (AF_UNIX SOCK_SEQPACKET sockets, pidfds, getrandom,
// OpenSSL). Unit tests link a fake of the runtime part instead (tests/fakes/),
// so timing rules run on a fake clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::os {

using ProcessId = std::uint32_t;

// One connected server-side pipe instance (Windows HANDLE) or connected
// SEQPACKET socket (POSIX fd). Owned by exactly one thread at a time.
struct PipeHandle {
  std::intptr_t raw = -1;
  // When the listener saw the connection, on the clock that process start
  // times use (Windows: FILETIME; POSIX: CLOCK_BOOTTIME nanoseconds). A
  // process that started later cannot be the client.
  std::uint64_t connected_at = 0;
};

// A process handle opened for a session: wait, query, terminate (a pidfd on
// POSIX). `open` is false for the null handle.
struct ProcessHandle {
  std::intptr_t raw = 0;
  bool open = false;
};

// ---------------------------------------------------------------- clock
// Monotonic milliseconds that stand still while the machine sleeps
// (QueryUnbiasedInterruptTime / CLOCK_MONOTONIC), so a resumed laptop does not
// look like a silent client.
std::uint64_t tick_ms();
void sleep_ms(std::uint32_t ms);

// ---------------------------------------------------------------- stop event
// The process-wide manual-reset stop event (g_stop_event). It is created once
// and stays valid until the process ends, so no poller ever sees a closed
// handle. Returns 0 on success, else the OS error code.
std::uint32_t stop_event_create();
void stop_event_set();
// Zero-timeout poll: true only when the event is set. A failed wait counts as
// not set.
bool stop_event_is_set();
// Blocks until the event is set.
void stop_event_wait();

// ---------------------------------------------------------------- processes
// OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION |
// PROCESS_TERMINATE) / pidfd_open. Returns a handle with open == false on
// failure.
ProcessHandle process_open_for_session(ProcessId pid);
// Zero-timeout wait: true only for "still running" (WAIT_TIMEOUT). A handle
// that has exited or cannot be waited on gives false.
bool process_is_running(ProcessHandle process);
// TerminateProcess(process, 0) / SIGKILL through the pidfd. Does not wait.
void process_terminate(ProcessHandle process);
void process_close(ProcessHandle& process);

// ---------------------------------------------------------------- pipe I/O
// The process id of the client at the other end (GetNamedPipeClientProcessId
// / SO_PEERCRED).
bool pipe_client_pid(PipeHandle pipe, ProcessId& pid);

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
ClientHold pipe_client_process(PipeHandle pipe, ProcessId& pid,
                               ProcessHandle& process);

// True when the next message waiting is an empty one, which the byte count of
// pipe_bytes_waiting cannot show (POSIX). Windows cannot tell it from
// silence: always false there.
bool pipe_empty_message_waiting(PipeHandle pipe);

// One read of one message into buf (at most `capacity` bytes). Fails when the
// connection is broken, when the message is longer than `capacity` (the
// message is then not delivered to the caller), and on any other error.
bool pipe_read(PipeHandle pipe, char* buf, std::size_t capacity,
               std::size_t& bytes_read);

enum class WriteOutcome { written, failed, timed_out };
// Writes one message, waiting at most `timeout_ms` for the pipe to take it.
// `written` only when every byte went out in one message.
WriteOutcome pipe_write(PipeHandle pipe, const char* data, std::size_t size,
                        std::uint32_t timeout_ms);

// Total bytes waiting to be read, removing nothing (PeekNamedPipe /
// FIONREAD). Fails once the connection is broken and nothing is left to read.
bool pipe_bytes_waiting(PipeHandle pipe, std::uint32_t& bytes);

// Waits at most `timeout_ms` until the client has read everything written
// (FlushFileBuffers), or the connection is broken.
void pipe_flush(PipeHandle pipe, std::uint32_t timeout_ms);
// DisconnectNamedPipe / shutdown.
void pipe_disconnect(PipeHandle pipe);
// CloseHandle / close. The instance no longer counts against the limit.
void pipe_close(PipeHandle& pipe);

// ---------------------------------------------------------------- listener
// The service's local endpoint: "\\.\pipe\VORNGuardLocalGuard" on Windows;
// on POSIX "$RUNTIME_DIRECTORY/VORNGuardLocalGuard" (RUNTIME_DIRECTORY set
// and not empty) or "/run/VORN/VORNGuardLocalGuard".
std::string endpoint_name();

// Prepares listening before the listener thread starts. Windows: nothing to
// do. POSIX: creates the directory when missing, replaces a stale socket file,
// binds and listens (mode 0666); fails with a message when another instance
// answers at the endpoint or the socket cannot be made.
bool listener_open(std::string& error);
// Releases what listener_open made (POSIX: the socket and its file).
void listener_close();

enum class AcceptOutcome {
  connected,      // `pipe` holds a connected client, owned by the caller
  create_failed,  // no instance could be made (limit reached, error)
  connect_failed  // instance made but no client connected; already released
};
// Creates one instance and waits for one client. POSIX: the wait also wakes
// on the stop event (then connect_failed).
AcceptOutcome accept_client(PipeHandle& pipe);

// ---------------------------------------------------------------- threads
struct ThreadHandle {
  std::intptr_t raw = 0;
  bool open = false;
};
using ThreadEntry = void (*)(void* argument);
// Starts a thread and closes its handle at once; nobody waits for it.
bool start_detached_thread(ThreadEntry entry, void* argument);
// Starts a thread that can be waited for with a time limit.
ThreadHandle start_thread(ThreadEntry entry, void* argument);
// Waits at most `timeout_ms` for the thread to end. The handle stays valid.
void thread_wait(ThreadHandle thread, std::uint32_t timeout_ms);
void thread_close(ThreadHandle& thread);

// ---------------------------------------------------------------- random
// Cryptographically secure bytes (BCryptGenRandom with the system-preferred
// generator / getrandom).
bool random_bytes(std::uint8_t* buffer, std::size_t size);

// ---------------------------------------------------------------- log files
// The machine's ProgramData directory as the environment holds it, or the
// fallback ("C:\ProgramData" / "/var/log") when missing or empty.
std::string program_data_directory();
// "\" on Windows, "/" on POSIX.
char path_separator();

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
LocalTime local_time_now();

// The log's directory levels below `base` ({"VORN", "ClientService"}), each
// inside the one before, walked one by one without following a link or
// reparse point: a missing level is created (Windows: with a DACL that lets
// only SYSTEM and Administrators write and everyone else read; POSIX: mode
// 0755). A level is refused when it is not a plain directory (a link,
// junction or other reparse point), when its owner is neither this process's
// own account nor SYSTEM / root nor Administrators, or (POSIX) when group or
// others may write it. Windows gives a level with a trusted owner but a DACL
// that lets others write the protective DACL again. `base` itself is never
// created. True when every level is there and trusted.
bool create_log_directories(const std::string& base,
                            const std::vector<std::string>& levels);

// Walks and creates the levels as create_log_directories does, then appends
// `bytes` to the file `file_name` in the innermost one: created when missing,
// shared for reading, writing and deleting, opened without following a link
// or reparse point, and left unwritten when it is not a plain file, has more
// than one name (a hard link) or has an untrusted owner. Nothing is written
// below a refused level. False when nothing was written.
bool append_to_log_file(const std::string& base,
                        const std::vector<std::string>& levels,
                        const std::string& file_name, const std::string& bytes);

// ---------------------------------------------------------------- inspection
// Used by the integrity check only. Every look goes through the held client
// process, never through a name the client could have chosen; every handle
// opened here is closed before the call returns.

// What identifies one version of a file, where the OS can tell it soundly
// (POSIX: device, inode, size, mtime, ctime). `known` is false where no sound
// identity is available; the caller then re-hashes. `device` and `inode` may
// be filled without `known` to tell one file from another.
struct FileIdentity {
  bool known = false;
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t modified_ns = 0, changed_ns = 0;
};

enum class ClientFile { image, guard_module };

// Largest files hashed: an executable image and a guard module. Anything
// larger is refused before a byte is read.
constexpr std::uint64_t kMaxImageBytes = 4ull << 30;
constexpr std::uint64_t kMaxGuardModuleBytes = 256ull << 20;

enum class ExamineOutcome {
  examined,    // `result` holds the file's path, identity and digest
  unchanged,   // its identity equals `unchanged`: not hashed again
  not_found,   // no such file: the guard module is not loaded (as an
               // executable mapping of a real file), or the process is gone
  unreadable,  // found, but it cannot be opened or read soundly
  too_large,   // larger than the limit for its kind
  cancelled    // keep_going said stop between two chunks
};

struct ExaminedFile {
  std::string path;       // its full path as the OS names it (for the log)
  FileIdentity identity;  // the version hashed, when the OS names one
  std::uint8_t digest[32] = {};
};

// Asked between chunks while hashing: false abandons the hash.
using KeepGoing = bool (*)(void* context);

// Finds the file `process` runs as its executable image, or the guard module
// mapped into it (Windows: an image mapping of "vorn_guard.dll", any case;
// POSIX: an executable mapping of a file named "libvorn_guard.so"), opens that
// very file and hashes it. A file whose identity equals `unchanged` (when
// known) is not hashed. POSIX opens /proc/<pid>/exe and the mapping's own
// file; Windows opens the file the kernel has mapped, anonymously, on local
// disks only.
ExamineOutcome examine_client_file(ProcessHandle process, ProcessId pid,
                                   ClientFile which,
                                   const FileIdentity& unchanged,
                                   KeepGoing keep_going, void* context,
                                   ExaminedFile& result);

// SHA-256 of a file's contents, for the client side that computes its own
// evidence. False when it cannot be opened or read.
bool sha256_file(const std::string& path, std::uint8_t (&digest)[32]);

// ---------------------------------------------------------------- client side
// Used by the reference guard module and the probe.
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

}  // namespace vorn::os
