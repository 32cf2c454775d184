#include "session/session_loop.h"

#include "integrity/integrity.h"
#include "log/service_log.h"
#include "platform/runtime.h"
#include "protocol/message_fields.h"
#include "protocol/rules.h"
#include "session/enforcement.h"

namespace vorn {

namespace {

// What one step of a pass decided.
enum class Step { go_on, end_quietly, end_enforced };

Step end_with(SessionState& state, const char* reason) {
  enforce(state.client_process, state.client_pid, reason);
  return Step::end_enforced;
}

// What a look at the client's code decided. A client that ended meanwhile
// just ends; one that runs other code than the verified files' (exec on
// Linux included) is enforced.
Step judge_code(SessionState& state, os::CodeLook look) {
  switch (look) {
    case os::CodeLook::intact:
      return Step::go_on;
    case os::CodeLook::gone:
      if (!state.client_process.is_running()) return Step::end_quietly;
      break;
    case os::CodeLook::changed:
      break;
  }
  return end_with(state, kReasonIntegrityChanged);
}

// When the code is looked at next: a moment drawn at random between half a
// re-check interval and a whole one after `from`, so that the client cannot
// time a patch between two looks, and no look is further than an interval
// from the one before.
std::uint64_t random_moment_after(std::uint64_t from) {
  std::uint8_t bytes[4] = {};
  std::uint32_t value = 0;
  if (os::random_bytes(bytes, sizeof bytes)) {
    value = static_cast<std::uint32_t>(bytes[0]) |
            static_cast<std::uint32_t>(bytes[1]) << 8 |
            static_cast<std::uint32_t>(bytes[2]) << 16 |
            static_cast<std::uint32_t>(bytes[3]) << 24;
  }
  constexpr std::uint64_t kHalf = kRecheckIntervalMs / 2;
  return from + kHalf + value % (kHalf + 1);
}

// A reply the client does not take within the write bound ends the session
// like a broken connection, unless the heartbeat deadline has passed by then.
Step handle_message(SessionState& state) {
  std::string message;
  if (!state.connection.read_message(message)) return Step::end_quietly;
  const FieldList fields = split_fields(message);

  if (fields.size() == 4 && text_equals(fields[0], kPingKeyword)) {
    const std::int64_t sequence = parse_decimal_i64(fields[2]);
    if (!text_equals(fields[1], state.token) ||
        sequence <= state.last_sequence) {
      return end_with(state, kReasonReplay);
    }
    // No answer for a program that is not the verified one any more.
    const Step code =
        judge_code(state, integrity_code_still_runs(state.integrity_record));
    if (code != Step::go_on) return code;
    state.last_sequence = sequence;
    state.last_heartbeat_tick = os::tick_ms();
    if (state.connection.send(std::string(kPongKeyword) + "|" +
                              format_decimal_i64(sequence)) ==
        os::WriteOutcome::timed_out) {
      // A client that does not read its replies is gone for the session. The
      // heartbeat deadline cannot have passed: it was renewed just before
      // the write, whose wait is far shorter.
      return Step::end_quietly;
    }
    // A failed write is noticed at the next look at the pipe.
    return Step::go_on;
  }
  if (fields.size() >= 2 && text_equals(fields[0], kByeKeyword) &&
      text_equals(fields[1], state.token)) {
    return Step::end_quietly;
  }
  return end_with(state, kReasonInvalid);
}

// A re-check's hash is abandoned once the service stops or the client ends.
bool recheck_keeps_going(void* context) {
  const auto* state = static_cast<const SessionState*>(context);
  return !os::stop_event_is_set() && state->client_process.is_running();
}

Step run_pass(SessionState& state) {
  if (!state.client_process.is_running()) return Step::end_quietly;

  std::uint32_t waiting = 0;
  if (!state.connection.bytes_waiting(waiting)) return Step::end_quietly;
  if (waiting > 0) {
    const Step step = handle_message(state);
    if (step != Step::go_on) return step;
  }

  const std::uint64_t now = os::tick_ms();
  if (now - state.last_heartbeat_tick > kHeartbeatTimeoutMs) {
    return end_with(state, kReasonHeartbeatTimeout);
  }
  if (now - state.last_recheck_tick > kRecheckIntervalMs) {
    // Intervals run from the start of one re-check to the start of the next.
    state.last_recheck_tick = now;
    if (!integrity_recheck(state.client_process.handle(), state.client_pid,
                           state.integrity_record,
                           {recheck_keeps_going, &state, state.hash_turn})) {
      // A client that ended during the re-check just ends.
      if (!state.client_process.is_running()) return Step::end_quietly;
      return end_with(state, kReasonIntegrityChanged);
    }
    return Step::go_on;
  }
  if (now >= state.next_code_look_tick) {
    state.next_code_look_tick = random_moment_after(now);
    return judge_code(state, integrity_look_at_code(state.integrity_record));
  }
  return Step::go_on;
}

void close_session(SessionState& state) {
  // In this order: the process handle and the client's files, the CLOSED
  // line, then the connection with its bounded flush.
  state.client_process.close();
  release_held_files(state.integrity_record);
  log_line("SESSION CLOSED pid=" + format_decimal_u32(state.client_pid));
  state.connection.close();
  state.token.clear();
}

}  // namespace

void run_session_loop(SessionState& state) {
  state.next_code_look_tick = random_moment_after(state.last_recheck_tick);
  if (!os::stop_event_is_set()) {
    while (run_pass(state) == Step::go_on) {
      os::sleep_ms(kPollIntervalMs);
      if (os::stop_event_is_set()) break;
    }
  }
  close_session(state);
}

}  // namespace vorn
