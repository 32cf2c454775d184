#include "fakes/fake_runtime.h"

#include <algorithm>
#include <cstring>

#include "support/temp_dir.h"

namespace vorn::fake {
// Helpers of this file; the os:: definitions below use them too.
namespace {

FakeWorld g_world;

void record_call(Call call) {
  // Polls come by the thousand; reading the log for each would only slow
  // the tests down (under Wine above all), and no test orders them.
  const bool poll =
      call == Call::pipe_bytes_waiting || call == Call::process_is_running;
  g_world.events.push_back(
      {call, g_world.tick, poll ? kLogNotCounted : count_log_lines()});
}

bool pipe_handle_is_ours(const os::PipeHandle& pipe) {
  if (pipe.raw() == kPipeRaw) return true;
  ++g_world.pipe.foreign_handle_calls;
  return false;
}

bool process_handle_is_ours(const os::ProcessHandle& process) {
  if (process.open() && process.raw() == kProcessRaw &&
      g_world.process.handle_open) {
    return true;
  }
  ++g_world.process.foreign_handle_calls;
  return false;
}

bool pipe_is_broken() {
  return g_world.pipe.break_tick && g_world.tick >= *g_world.pipe.break_tick;
}

}  // namespace

FakeWorld& world() { return g_world; }

void reset_world() { g_world = FakeWorld(); }

void advance(std::uint64_t ms) { g_world.tick += ms; }

std::uint64_t now() { return g_world.tick; }

void deliver_at(std::uint64_t tick, const std::string& bytes) {
  auto& incoming = g_world.pipe.incoming;
  // Stable: messages of the same tick keep the order in which they were sent.
  auto later = std::upper_bound(
      incoming.begin(), incoming.end(), tick,
      [](std::uint64_t t, const Incoming& m) { return t < m.arrival_tick; });
  incoming.insert(later, Incoming{tick, bytes});
}

void break_at(std::uint64_t tick) { g_world.pipe.break_tick = tick; }

void stop_at(std::uint64_t tick) { g_world.stop_tick = tick; }

void script_write(os::WriteOutcome outcome, std::uint32_t duration_ms) {
  g_world.pipe.write_script.push_back({outcome, duration_ms});
}

os::PipeHandle connected_pipe() { return os::PipeHandle(kPipeRaw, 0); }

std::uint8_t random_byte(int call_index, std::size_t index) {
  // Runs through every byte value, letters and leading zeros included.
  return static_cast<std::uint8_t>(
      (static_cast<std::size_t>(call_index) * 101u + index * 37u + 11u) &
      0xFFu);
}

std::vector<Event> events_of(Call call) {
  std::vector<Event> out;
  for (const Event& e : g_world.events) {
    if (e.call == call) out.push_back(e);
  }
  return out;
}

std::vector<Call> calls_among(const std::vector<Call>& kinds) {
  std::vector<Call> out;
  for (const Event& e : g_world.events) {
    if (std::find(kinds.begin(), kinds.end(), e.call) != kinds.end()) {
      out.push_back(e.call);
    }
  }
  return out;
}

std::vector<std::string> written_bytes() {
  std::vector<std::string> out;
  for (const Written& w : g_world.pipe.written) out.push_back(w.bytes);
  return out;
}

std::size_t count_log_lines() {
  if (g_world.log_path.empty()) return 0;
  const std::string text = test::read_file(g_world.log_path);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace vorn::fake

// ------------------------------------------------------------------------
// The runtime, answered from the world above.
namespace vorn::os {

using fake::Call;
using fake::world;

std::uint64_t tick_ms() { return world().tick; }

void sleep_ms(std::uint32_t ms) {
  world().sleeps.push_back(ms);
  world().tick += ms;
}

Error stop_event_create() { return Error(); }

void stop_event_set() {
  if (!world().stop_tick || *world().stop_tick > world().tick) {
    world().stop_tick = world().tick;
  }
}

bool stop_event_is_set() {
  ++world().stop_polls;
  return world().stop_tick && world().tick >= *world().stop_tick;
}

void stop_event_wait() {
  // Nobody else runs: waiting means the clock moves on to the stop.
  if (world().stop_tick && *world().stop_tick > world().tick) {
    world().tick = *world().stop_tick;
  }
}

ProcessHandle process_open_for_session(ProcessId pid) {
  fake::record_call(Call::process_open);
  world().process.open_requests.push_back(pid);
  if (world().process.open_fails) return ProcessHandle();
  world().process.handle_open = true;
  return ProcessHandle(fake::kProcessRaw);
}

bool process_is_running(const ProcessHandle& process) {
  fake::record_call(Call::process_is_running);
  if (!fake::process_handle_is_ours(process)) return false;
  const fake::FakeProcess& p = world().process;
  if (p.wait_fails || p.terminated) return false;
  return !(p.exit_tick && world().tick >= *p.exit_tick);
}

void process_terminate(const ProcessHandle& process) {
  fake::record_call(Call::process_terminate);
  if (!fake::process_handle_is_ours(process)) return;
  world().process.terminated = true;
}

void ProcessKind::close(std::intptr_t raw) {
  fake::record_call(Call::process_close);
  if (raw == fake::kProcessRaw && world().process.handle_open) {
    world().process.handle_open = false;
  } else {
    ++world().process.foreign_handle_calls;
  }
}

bool process_innermost_pid(const ProcessHandle& process, ProcessId& pid) {
  if (!fake::process_handle_is_ours(process)) return false;
  if (!world().process.innermost_pid) return false;
  pid = *world().process.innermost_pid;
  return true;
}

bool pipe_client_pid(const PipeHandle& pipe, ProcessId& pid) {
  fake::record_call(Call::pipe_client_pid);
  if (!fake::pipe_handle_is_ours(pipe)) return false;
  if (!world().pipe.client_pid_ok) return false;
  pid = world().pipe.client_pid;
  return true;
}

ClientUser pipe_client_user(const PipeHandle& pipe) {
  if (!fake::pipe_handle_is_ours(pipe)) return ClientUser();
  return world().pipe.client_user;
}

ClientHold pipe_client_process(const PipeHandle& pipe, ProcessId& pid,
                               ProcessHandle& process) {
  process = ProcessHandle();
  if (!pipe_client_pid(pipe, pid)) return ClientHold::pid_unknown;
  process = process_open_for_session(pid);
  return process.open() ? ClientHold::held : ClientHold::not_held;
}

bool pipe_empty_message_waiting(const PipeHandle& pipe) {
  if (!fake::pipe_handle_is_ours(pipe)) return false;
  const fake::FakePipe& p = world().pipe;
  return !p.incoming.empty() &&
         p.incoming.front().arrival_tick <= world().tick &&
         p.incoming.front().bytes.empty();
}

bool pipe_read(const PipeHandle& pipe, char* buf, std::size_t capacity,
               std::size_t& bytes_read) {
  fake::record_call(Call::pipe_read);
  if (!fake::pipe_handle_is_ours(pipe)) return false;
  fake::FakePipe& p = world().pipe;
  p.read_capacities.push_back(capacity);
  const auto ready = [&p] {
    return !p.incoming.empty() &&
           p.incoming.front().arrival_tick <= world().tick;
  };
  if (!ready()) {
    // A real read blocks: let the clock run to whatever comes next.
    if (fake::pipe_is_broken()) return false;
    std::optional<std::uint64_t> next;
    if (!p.incoming.empty()) next = p.incoming.front().arrival_tick;
    if (p.break_tick && (!next || *p.break_tick < *next)) next = p.break_tick;
    if (!next) {
      p.read_blocked_forever = true;
      return false;
    }
    world().tick = *next;
    if (!ready()) return false;
  }
  const std::string message = p.incoming.front().bytes;
  p.incoming.pop_front();
  // Too long for the caller: the read fails and the message is gone.
  if (message.size() > capacity) return false;
  if (!message.empty()) std::memcpy(buf, message.data(), message.size());
  bytes_read = message.size();
  return true;
}

WriteOutcome pipe_write(const PipeHandle& pipe, const char* data,
                        std::size_t size, std::uint32_t timeout_ms) {
  fake::record_call(Call::pipe_write);
  if (!fake::pipe_handle_is_ours(pipe)) return WriteOutcome::failed;
  fake::FakePipe& p = world().pipe;
  fake::WriteScript script = p.default_write;
  if (!p.write_script.empty()) {
    script = p.write_script.front();
    p.write_script.pop_front();
  }
  WriteOutcome outcome = script.outcome;
  if (fake::pipe_is_broken() && outcome == WriteOutcome::written) {
    outcome = WriteOutcome::failed;
  }
  p.written.push_back({std::string(data, size), world().tick, timeout_ms,
                       outcome, fake::count_log_lines()});
  world().tick += script.duration_ms;
  return outcome;
}

bool pipe_bytes_waiting(const PipeHandle& pipe, std::uint32_t& bytes) {
  fake::record_call(Call::pipe_bytes_waiting);
  if (!fake::pipe_handle_is_ours(pipe)) return false;
  const fake::FakePipe& p = world().pipe;
  if (p.bytes_waiting_fails) return false;
  std::size_t total = 0;
  std::size_t messages = 0;
  for (const fake::Incoming& m : p.incoming) {
    if (m.arrival_tick > world().tick) break;
    total += m.bytes.size();
    ++messages;
  }
  if (messages == 0 && fake::pipe_is_broken()) return false;
  bytes = static_cast<std::uint32_t>(total);
  return true;
}

void pipe_flush(const PipeHandle& pipe, std::uint32_t /*timeout_ms*/) {
  fake::record_call(Call::pipe_flush);
  fake::pipe_handle_is_ours(pipe);
}

void pipe_disconnect(const PipeHandle& pipe) {
  fake::record_call(Call::pipe_disconnect);
  fake::pipe_handle_is_ours(pipe);
}

void PipeKind::close(std::intptr_t raw) {
  fake::record_call(Call::pipe_close);
  if (raw != fake::kPipeRaw) ++world().pipe.foreign_handle_calls;
}

// The listener, threads and the client side are not used by the session
// code; they answer as a machine on which nothing can connect.
std::string endpoint_name() { return "fake-endpoint"; }

Error listener_open() { return Error(); }

void listener_close() {}

AcceptOutcome accept_client(PipeHandle& pipe, Error& /*error*/) {
  pipe = PipeHandle();
  return AcceptOutcome::create_failed;
}

// No thread ever starts: the body goes at once, as when the OS has none.
Thread start_thread(std::unique_ptr<ThreadBody> body) {
  if (world().on_thread_start) world().on_thread_start();
  body.reset();
  return Thread();
}

bool Thread::wait(std::uint32_t /*timeout_ms*/) const { return true; }

void ThreadKind::close(std::intptr_t /*raw*/) {}

bool random_bytes(std::uint8_t* buffer, std::size_t size) {
  fake::record_call(Call::random_bytes);
  const int call_index = world().random_calls++;
  if (!world().random_ok) return false;
  for (std::size_t i = 0; i < size; ++i) {
    buffer[i] = fake::random_byte(call_index, i);
  }
  return true;
}

}  // namespace vorn::os
