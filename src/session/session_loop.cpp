#include "session/session_loop.h"

#include "integrity/integrity.h"
#include "log/service_log.h"
#include "platform/runtime.h"
#include "protocol/message_fields.h"
#include "session/enforcement.h"

namespace vorn {

namespace {

// What one step of a pass decided.
enum class Step { go_on, end_quietly, end_enforced };

Step end_with(SessionState& state, const char* reason) {
  enforce(state.client_process, state.client_pid, reason);
  return Step::end_enforced;
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
                           {recheck_keeps_going, &state})) {
      return end_with(state, kReasonIntegrityChanged);
    }
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
  if (!os::stop_event_is_set()) {
    while (run_pass(state) == Step::go_on) {
      os::sleep_ms(kPollIntervalMs);
      if (os::stop_event_is_set()) break;
    }
  }
  close_session(state);
}

}  // namespace vorn
