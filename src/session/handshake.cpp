#include "session/handshake.h"

#include "log/service_log.h"
#include "pipe/pipe_channel.h"
#include "protocol/message_fields.h"
#include "session/integrity.h"

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
    // An empty first message is a failed first read: no need to wait out
    // the limit where the OS can tell it from silence.
    if (os::pipe_empty_message_waiting(pipe)) return FirstMessageWait::gone;
    if (os::tick_ms() - start > kFirstMessageTimeoutMs) {
      return FirstMessageWait::timed_out;
    }
    if (os::stop_event_is_set()) return FirstMessageWait::stopping;
    os::sleep_ms(kFirstMessagePollMs);
  }
}

// The client process, held from the connection on; released on every path
// that does not hand it to the session.
struct HeldClient {
  os::ProcessHandle process;
  HeldClient() = default;
  HeldClient(const HeldClient&) = delete;
  HeldClient& operator=(const HeldClient&) = delete;
  ~HeldClient() { close(); }
  void close() {
    if (process.open) os::process_close(process);
  }
  os::ProcessHandle release() {
    const os::ProcessHandle handed = process;
    process = os::ProcessHandle();
    return handed;
  }
};

// The process handle goes before the pipe, as in a session's close.
std::optional<SessionState> drop(HeldClient& client, os::PipeHandle pipe) {
  client.close();
  close_channel(pipe);
  return std::nullopt;
}

std::optional<SessionState> refuse(HeldClient& client, os::PipeHandle pipe,
                                   const char* reply) {
  (void)write_message(pipe, reply);
  return drop(client, pipe);
}

// Hashing the client's files stops early once nobody is left to answer.
bool handshake_keeps_going(void* context) {
  const auto* pipe = static_cast<const os::PipeHandle*>(context);
  std::uint32_t bytes = 0;
  return !os::stop_event_is_set() && os::pipe_bytes_waiting(*pipe, bytes);
}

bool is_evidence(const std::string& value) {
  return value.size() == 64 && is_hex_text(value);
}

}  // namespace

std::optional<SessionState> run_handshake(os::PipeHandle pipe) {
  // Held at once, before anything the client sends can buy time: a pid
  // looked up later may belong to another process by then.
  HeldClient client;
  os::ProcessId client_pid = 0;
  const os::ClientHold hold =
      os::pipe_client_process(pipe, client_pid, client.process);
  if (hold == os::ClientHold::pid_unknown) return drop(client, pipe);

  if (wait_for_first_message(pipe) != FirstMessageWait::arrived) {
    return drop(client, pipe);
  }
  std::string message;
  if (!read_message(pipe, message)) return drop(client, pipe);

  const FieldList fields = split_fields(message);
  if (fields.size() != 5 || !text_equals(fields[0], kHelloKeyword)) {
    return refuse(client, pipe, kReplyHelloError);
  }

  const std::uint32_t claimed_pid = parse_decimal_u32(fields[1]);
  const std::string evidence_1 = upper_case(fields[3]);
  const std::string evidence_2 = upper_case(fields[4]);
  if (claimed_pid != client_pid || fields[2].size() < 12 ||
      !is_evidence(evidence_1) || !is_evidence(evidence_2)) {
    return refuse(client, pipe, kReplyIdentityError);
  }
  // A process that could not be held cannot be inspected either.
  if (hold != os::ClientHold::held) {
    return refuse(client, pipe, kReplyProcessError);
  }

  std::string client_image_path;
  IntegrityRecord record;
  switch (integrity_check(client.process, client_pid, evidence_1, evidence_2,
                          client_image_path, record,
                          {handshake_keeps_going, &pipe})) {
    case IntegrityOutcome::pass:
      break;
    case IntegrityOutcome::not_identified:
      return refuse(client, pipe, kReplyIdentityError);
    case IntegrityOutcome::mismatch:
      return refuse(client, pipe, kReplyIntegrityError);
  }
  // The verified files are those of a process that still runs; one that has
  // ended is refused like one that cannot be opened.
  if (!os::process_is_running(client.process)) {
    return refuse(client, pipe, kReplyProcessError);
  }

  std::string token = generate_session_token();
  if (token.empty()) return drop(client, pipe);

  // A client that has gone already is noticed by the session loop.
  (void)write_message(
      pipe, std::string(kOkKeyword) + "|" + token + "|" + kProtocolVersion);
  log_line("SESSION READY pid=" + format_decimal_u32(client_pid) +
           " host=" + escape_log_value(file_name_from_path(client_image_path)));

  SessionState state;
  state.pipe = pipe;
  state.client_pid = client_pid;
  state.client_process = client.release();
  state.token = std::move(token);
  state.integrity_record = std::move(record);
  const std::uint64_t now = os::tick_ms();
  state.last_heartbeat_tick = now;
  state.last_recheck_tick = now;
  state.last_sequence = 0;
  return state;
}

}  // namespace vorn
