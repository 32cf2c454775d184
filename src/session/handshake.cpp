#include "session/handshake.h"

#include "log/service_log.h"
#include "pipe/pipe_channel.h"
#include "session/integrity.h"
#include "session/message_fields.h"

namespace vorn {

namespace {

enum class FirstMessageWait { arrived, gone, timed_out, stopping };

// Waits until the client has sent something, without blocking in a read: a
// client that connects and never writes must not hold an instance for good.
FirstMessageWait wait_for_first_message(os::PipeHandle pipe) {
  const std::uint64_t start = os::tick_ms();
  for (;;) {
    std::uint32_t bytes = 0;
    if (!os::pipe_bytes_waiting(pipe, bytes)) return FirstMessageWait::gone;
    if (bytes > 0) return FirstMessageWait::arrived;
    if (os::tick_ms() - start > kFirstMessageTimeoutMs) {
      return FirstMessageWait::timed_out;
    }
    if (os::stop_event_is_set()) return FirstMessageWait::stopping;
    os::sleep_ms(kFirstMessagePollMs);
  }
}

std::optional<SessionState> drop(os::PipeHandle pipe) {
  close_channel(pipe);
  return std::nullopt;
}

std::optional<SessionState> refuse(os::PipeHandle pipe, const char* reply) {
  (void)write_message(pipe, reply);
  close_channel(pipe);
  return std::nullopt;
}

bool is_evidence(const std::string& value) {
  return value.size() == 64 && is_hex_text(value);
}

}  // namespace

std::optional<SessionState> run_handshake(os::PipeHandle pipe) {
  os::ProcessId client_pid = 0;
  if (!os::pipe_client_pid(pipe, client_pid)) return drop(pipe);

  if (wait_for_first_message(pipe) != FirstMessageWait::arrived) {
    return drop(pipe);
  }
  std::string message;
  if (!read_message(pipe, message)) return drop(pipe);

  const FieldList fields = split_fields(message);
  if (fields.size() != 5 || !text_equals(fields[0], "HELLO")) {
    return refuse(pipe, kReplyHelloError);
  }

  const std::uint32_t claimed_pid = parse_decimal_u32(fields[1]);
  const std::string evidence_1 = upper_case(fields[3]);
  const std::string evidence_2 = upper_case(fields[4]);
  if (claimed_pid != client_pid || fields[2].size() < 12 ||
      !is_evidence(evidence_1) || !is_evidence(evidence_2)) {
    return refuse(pipe, kReplyIdentityError);
  }

  std::string client_image_path;
  IntegrityRecord record;
  switch (integrity_check(client_pid, evidence_1, evidence_2, client_image_path,
                          record)) {
    case IntegrityOutcome::pass:
      break;
    case IntegrityOutcome::not_identified:
      return refuse(pipe, kReplyIdentityError);
    case IntegrityOutcome::mismatch:
      return refuse(pipe, kReplyIntegrityError);
  }

  os::ProcessHandle process = os::process_open_for_session(client_pid);
  if (!process.open) return refuse(pipe, kReplyProcessError);

  std::string token = generate_session_token();
  if (token.empty()) {
    os::process_close(process);
    return drop(pipe);
  }

  // A client that has gone already is noticed by the session loop.
  (void)write_message(pipe, "OK|" + token + "|" + kProtocolVersion);
  log_line("SESSION READY pid=" + format_decimal_u32(client_pid) +
           " host=" + escape_log_value(file_name_from_path(client_image_path)));

  SessionState state;
  state.pipe = pipe;
  state.client_pid = client_pid;
  state.client_process = process;
  state.token = std::move(token);
  state.integrity_record = std::move(record);
  const std::uint64_t now = os::tick_ms();
  state.last_heartbeat_tick = now;
  state.last_recheck_tick = now;
  state.last_sequence = 0;
  return state;
}

}  // namespace vorn
