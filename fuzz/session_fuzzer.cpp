// One session fed arbitrary messages at arbitrary times on the fake platform:
// PONGs carry strictly rising numbers, the session ends exactly once with its
// close sequence, and only a running client is ever terminated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/fake_integrity.h"
#include "fakes/fake_runtime.h"
#include "fuzz/fuzz_support.h"
#include "protocol/message_fields.h"
#include "session/session_loop.h"

namespace {

const std::string kToken(64, 'A');

// Cuts the input into (delay, message) pairs: one byte of delay in units of
// 100 ms, one byte of length, then the message bytes.
void schedule_messages(const std::uint8_t* data, std::size_t size) {
  std::uint64_t tick = vorn::fake::kStartTick;
  std::size_t i = 0;
  while (i + 2 <= size) {
    tick += static_cast<std::uint64_t>(data[i]) * 100;
    std::size_t length = data[i + 1];
    i += 2;
    if (length > size - i) length = size - i;
    std::string message(reinterpret_cast<const char*>(data + i), length);
    // "$" stands for the session's token, so valid PINGs are reachable.
    std::string expanded;
    for (const char c : message) {
      if (c == '$') {
        expanded += kToken;
      } else {
        expanded += c;
      }
    }
    vorn::fake::deliver_at(tick, expanded);
    i += length;
  }
}

}  // namespace

using vorn::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace vorn;
  fuzz::use_private_log_folder();
  fake::reset_world();
  fake::reset_integrity();
  if (size < 1) return 0;
  // First byte: re-check answers and the client's own exit.
  const std::uint8_t control = data[0];
  fake::integrity().recheck_results = {(control & 1) == 0, (control & 2) == 0};
  if (control & 4) fake::world().process.exit_tick = fake::kStartTick + 5000;
  schedule_messages(data + 1, size - 1);
  // Every session ends by 60 s at the latest.
  fake::stop_at(fake::kStartTick + 60000);

  SessionState state;
  state.connection = Connection(fake::connected_pipe());
  state.client_pid = fake::kDefaultClientPid;
  state.client_process =
      ClientProcess(os::process_open_for_session(state.client_pid));
  state.token = kToken;
  state.last_heartbeat_tick = fake::now();
  state.last_recheck_tick = fake::now();
  run_session_loop(state);

  // Close sequence: process handle and pipe released exactly once.
  require(!fake::world().process.handle_open);
  require(fake::events_of(fake::Call::pipe_close).size() == 1);
  require(fake::events_of(fake::Call::process_terminate).size() <= 1);

  std::int64_t last = 0;
  for (const std::string& reply : fake::written_bytes()) {
    require(reply.compare(0, 5, "PONG|") == 0 && reply.back() == '\n');
    const std::string number = reply.substr(5, reply.size() - 6);
    const std::int64_t value = parse_decimal_i64(number);
    require(format_decimal_i64(value) == number);
    require(value > last);
    last = value;
  }
  return 0;
}
