// Arbitrary first messages through the real handshake on the fake platform:
// whatever arrives, the reply is one of the known ones, the pipe is released
// exactly once on a refusal, and only a well-formed HELLO reaches the
// integrity check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fakes/fake_integrity.h"
#include "fakes/fake_runtime.h"
#include "fuzz/fuzz_support.h"
#include "pipe/pipe_channel.h"
#include "protocol/message_fields.h"
#include "session/handshake.h"

namespace {

bool is_known_refusal(const std::string& reply) {
  return reply == "ERR|HELLO\n" || reply == "ERR|IDENTITY\n" ||
         reply == "ERR|INTEGRITY\n" || reply == "ERR|PROCESS\n";
}

}  // namespace

using vorn::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace vorn;
  fuzz::use_private_log_folder();
  fake::reset_world();
  fake::reset_integrity();
  // The first byte picks the integrity outcome; the rest is the message.
  if (size > 0) {
    fake::integrity().outcome = static_cast<IntegrityOutcome>(data[0] % 3);
    ++data;
    --size;
  }
  const std::string message(reinterpret_cast<const char*>(data), size);
  fake::deliver_at(fake::kStartTick, message);

  std::optional<SessionState> state =
      run_handshake(Connection(fake::connected_pipe()));
  const std::vector<std::string> written = fake::written_bytes();
  require(written.size() <= 1);

  for (const fake::IntegrityCall& call : fake::integrity().checks) {
    require(call.pid == fake::kDefaultClientPid);
    require(call.evidence_1.size() == 64 && call.evidence_2.size() == 64);
    require(call.evidence_1 == upper_case(call.evidence_1));
    require(is_hex_text(call.evidence_1) && is_hex_text(call.evidence_2));
  }

  if (state) {
    require(written.size() == 1);
    require(written[0] == "OK|" + state->token + "|1.0.0\n");
    require(state->token.size() == 64 && is_hex_text(state->token));
    require(fake::integrity().checks.size() == 1);
    state->client_process.close();
    state->connection.close();
  } else {
    // Refused or dropped: released once, nothing left open, never terminated.
    require(written.empty() || is_known_refusal(written[0]));
    require(fake::events_of(fake::Call::pipe_close).size() == 1);
    require(!fake::world().process.handle_open);
    require(!fake::world().process.terminated);
  }
  return 0;
}
