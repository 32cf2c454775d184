// A scripted stand-in for the OS runtime (platform/runtime.h): a clock
// that only moves when the code under test sleeps (or a test advances it), one
// connected pipe whose incoming messages arrive at chosen ticks, one client
// process, the stop event and the random generator. Everything the session
// code does to them is recorded, with the tick and the number of log lines
// written so far, so tests can check both timing and ordering.
//
// Single-threaded use only: one global world, reset by each test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime.h"

namespace vorn::fake {

// Far from zero so that differences below a start value cannot hide a wrap.
constexpr std::uint64_t kStartTick = 1'000'000;
constexpr std::intptr_t kPipeRaw = 0x51;
constexpr std::intptr_t kProcessRaw = 0x77;
constexpr os::ProcessId kDefaultClientPid = 42;

enum class Call {
  pipe_client_pid,
  pipe_read,
  pipe_write,
  pipe_bytes_waiting,
  pipe_flush,
  pipe_disconnect,
  pipe_close,
  process_open,
  process_is_running,
  process_terminate,
  process_close,
  random_bytes,
};

constexpr std::size_t kLogNotCounted = static_cast<std::size_t>(-1);

// One recorded call. `log_lines` is the number of lines service.log held
// when the call was made, which orders calls against log_line (not counted
// for the liveness and bytes-waiting polls).
struct Event {
  Call call;
  std::uint64_t tick;
  std::size_t log_lines;
};

struct Incoming {
  std::uint64_t arrival_tick;
  std::string bytes;
};

struct Written {
  std::string bytes;
  std::uint64_t tick;  // when the write began
  std::uint32_t timeout_ms;
  os::WriteOutcome outcome;
  std::size_t log_lines;
};

struct WriteScript {
  os::WriteOutcome outcome;
  std::uint32_t duration_ms;  // how far the clock moves during the write
};

struct FakePipe {
  bool client_pid_ok = true;
  os::ProcessId client_pid = kDefaultClientPid;
  os::ClientUser client_user{"1000", false};
  // Kept in arrival order; a message is readable once its tick has come.
  std::deque<Incoming> incoming;
  // The client breaks the connection at this tick.
  std::optional<std::uint64_t> break_tick;
  bool bytes_waiting_fails = false;
  // Calls with a handle that is not the one this fake gave out, or after it
  // was closed.
  int foreign_handle_calls = 0;
  // Outcome of writes: the scripted ones first, then the default.
  std::deque<WriteScript> write_script;
  WriteScript default_write{os::WriteOutcome::written, 0};
  std::vector<Written> written;
  std::vector<std::size_t> read_capacities;
  // A blocking read found nothing that would ever arrive.
  bool read_blocked_forever = false;
};

struct FakeProcess {
  bool open_fails = false;
  std::vector<os::ProcessId> open_requests;
  // The client exits on its own at this tick.
  std::optional<std::uint64_t> exit_tick;
  bool wait_fails = false;
  bool terminated = false;
  bool handle_open = false;
  // Calls with a handle that is not the one this fake gave out.
  int foreign_handle_calls = 0;
};

struct FakeWorld {
  std::uint64_t tick = kStartTick;
  std::vector<std::uint32_t> sleeps;
  std::optional<std::uint64_t> stop_tick;
  int stop_polls = 0;
  bool random_ok = true;
  int random_calls = 0;
  FakePipe pipe;
  FakeProcess process;
  std::vector<Event> events;
  // service.log of the current test; empty: log lines are not counted.
  std::string log_path;
  // Called when a thread is asked for; no thread ever starts.
  std::function<void()> on_thread_start;
};

FakeWorld& world();
// A fresh world: clock at kStartTick, nothing scheduled, nothing recorded.
void reset_world();

void advance(std::uint64_t ms);
std::uint64_t now();

// Schedules one incoming message (as one pipe message, bytes unchanged).
void deliver_at(std::uint64_t tick, const std::string& bytes);
void break_at(std::uint64_t tick);
void stop_at(std::uint64_t tick);
// Scripts the next write (after those already scripted).
void script_write(os::WriteOutcome outcome, std::uint32_t duration_ms);

os::PipeHandle connected_pipe();
// The byte that the n-th call of random_bytes (from 0) puts at `index`.
std::uint8_t random_byte(int call_index, std::size_t index);

// The recorded calls of one kind, and all calls of the given kinds in order.
std::vector<Event> events_of(Call call);
std::vector<Call> calls_among(const std::vector<Call>& kinds);
// The written messages' bytes, in order.
std::vector<std::string> written_bytes();

// The number of lines currently in the world's log file.
std::size_t count_log_lines();

}  // namespace vorn::fake
