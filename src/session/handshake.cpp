#include "session/handshake.h"

#include "integrity/integrity.h"
#include "log/diagnostics.h"
#include "log/service_log.h"
#include "platform/runtime.h"
#include "protocol/message_fields.h"
#include "protocol/rules.h"

namespace vorn {

namespace {

enum class FirstMessageWait { arrived, gone, timed_out, stopping };

// Waits until the client has sent something, without blocking in a read: a
// client that connects and never writes must not hold an instance for good.
// `start`: when it connected.
FirstMessageWait wait_for_first_message(Connection& connection,
                                        std::uint64_t start) {
  for (;;) {
    std::uint32_t bytes = 0;
    if (!connection.bytes_waiting(bytes)) return FirstMessageWait::gone;
    if (bytes > 0) return FirstMessageWait::arrived;
    // An empty first message is a failed first read: no need to wait out
    // the limit where the OS can tell it from silence.
    if (connection.empty_message_waiting()) return FirstMessageWait::gone;
    if (os::tick_ms() - start > kFirstMessageTimeoutMs) {
      return FirstMessageWait::timed_out;
    }
    if (os::stop_event_is_set()) return FirstMessageWait::stopping;
    os::sleep_ms(os::tick_ms() - start < kFirstMessageEagerMs
                     ? kFirstMessageEagerPollMs
                     : kFirstMessagePollMs);
  }
}

// Every refusal and drop returns nothing: the process handle, then the
// connection, are released as their owners go, as in a session's close. The
// operator hears of each refusal, after the reply, with its reason in words.
std::optional<SessionState> refuse(Connection& connection, const char* reply,
                                   os::ProcessId pid,
                                   const std::string& reason) {
  (void)connection.write(reply);
  diagnose(DiagnosticLevel::warning,
           "handshake refused, pid=" + format_decimal_u32(pid) + ": " + reason);
  return std::nullopt;
}

bool is_evidence(const std::string& value) {
  return value.size() == kEvidenceDigits && is_hex_text(value);
}

// The pid the service sees, or the one a client in a pid namespace of its
// own (a sandboxed game) sees itself by, told through the held process.
bool names_the_client(std::uint32_t claimed_pid, os::ProcessId client_pid,
                      const ClientProcess& client) {
  os::ProcessId own_pid = 0;
  return claimed_pid == client_pid ||
         (client.innermost_pid(own_pid) && claimed_pid == own_pid);
}

// Why the HELLO's fields cannot stand; none when they can.
os::Error identity_fault(const FieldList& fields, bool pid_names_the_client,
                         std::uint32_t claimed_pid,
                         const std::string& evidence_1,
                         const std::string& evidence_2) {
  if (!pid_names_the_client) {
    return os::Error(os::Errc::invalid, "pid field names another process (" +
                                            format_decimal_u32(claimed_pid) +
                                            ")");
  }
  if (fields[2].size() < kMinTagBytes) {
    return os::Error(os::Errc::invalid, "tag shorter than 12 bytes");
  }
  if (!is_evidence(evidence_1) || !is_evidence(evidence_2)) {
    return os::Error(os::Errc::invalid, "evidence is not 64 hex digits");
  }
  return os::Error();
}

// Hashing the client's files stops early once nobody is left to answer.
bool handshake_keeps_going(void* context) {
  auto* connection = static_cast<Connection*>(context);
  std::uint32_t bytes = 0;
  return !os::stop_event_is_set() && connection->bytes_waiting(bytes);
}

struct WaitingForHello {
  Connection* connection;
  std::uint64_t connected_at;
};

// Hashing ahead of the HELLO stops where waiting for it would.
bool ahead_of_hello_keeps_going(void* context) {
  const auto* waiting = static_cast<const WaitingForHello*>(context);
  return handshake_keeps_going(waiting->connection) &&
         !waiting->connection->empty_message_waiting() &&
         os::tick_ms() - waiting->connected_at <= kFirstMessageTimeoutMs;
}

}  // namespace

std::optional<SessionState> run_handshake(Connection connection,
                                          HashTurn* hash_turn) {
  // Held at once, before anything the client sends can buy time: a pid
  // looked up later may belong to another process by then. Declared after
  // the connection, so it is released before it.
  ClientProcess client;
  os::ProcessId client_pid = 0;
  const os::ClientHold hold = connection.take_client(client_pid, client);
  if (hold == os::ClientHold::pid_unknown) return std::nullopt;
  const std::uint64_t connected_at = os::tick_ms();

  // A guard module connects before it computes its evidence: meanwhile the
  // service hashes what it will verify.
  bool hashed_ahead = false;
  std::uint32_t waiting = 0;
  if (hold == os::ClientHold::held && connection.bytes_waiting(waiting) &&
      waiting == 0) {
    WaitingForHello context{&connection, connected_at};
    hashed_ahead =
        hash_ahead_of_check(client.handle(), client_pid,
                            {ahead_of_hello_keeps_going, &context, hash_turn});
  }
  if (wait_for_first_message(connection, connected_at) !=
      FirstMessageWait::arrived) {
    return std::nullopt;
  }
  std::string message;
  if (!connection.read_message(message)) return std::nullopt;

  const FieldList fields = split_fields(message);
  if (fields.size() != 5 || !text_equals(fields[0], kHelloKeyword)) {
    return refuse(connection, kReplyHelloError, client_pid,
                  "the first message is not a HELLO of five fields");
  }

  const std::uint32_t claimed_pid = parse_decimal_u32(fields[1]);
  const std::string evidence_1 = upper_case(fields[3]);
  const std::string evidence_2 = upper_case(fields[4]);
  if (const os::Error fault = identity_fault(
          fields, names_the_client(claimed_pid, client_pid, client),
          claimed_pid, evidence_1, evidence_2)) {
    return refuse(connection, kReplyIdentityError, client_pid, fault.words());
  }
  // A process that could not be held cannot be inspected either.
  if (hold != os::ClientHold::held) {
    return refuse(connection, kReplyProcessError, client_pid,
                  "the client process cannot be opened");
  }

  std::string client_image_path;
  IntegrityRecord record;
  std::string why;
  const IntegrityOutcome outcome = integrity_check(
      client.handle(), client_pid, evidence_1, evidence_2, client_image_path,
      record, {handshake_keeps_going, &connection, hash_turn, hashed_ahead},
      &why);
  switch (outcome) {
    case IntegrityOutcome::pass:
      break;
    case IntegrityOutcome::not_identified:
    case IntegrityOutcome::mismatch:
      // A stop cuts the hashing short: nothing was judged, so nothing is
      // claimed about the client's files. Dropped quietly, as while waiting
      // for the first message; its guard module comes back to the next
      // service.
      if (os::stop_event_is_set()) return std::nullopt;
      return outcome == IntegrityOutcome::mismatch
                 ? refuse(connection, kReplyIntegrityError, client_pid, why)
                 : refuse(connection, kReplyIdentityError, client_pid, why);
  }
  // The verified files are those of a process that still runs; one that has
  // ended is refused like one that cannot be opened.
  if (!client.is_running()) {
    return refuse(connection, kReplyProcessError, client_pid,
                  "the client ended during the check");
  }

  std::string token = generate_session_token();
  if (token.empty()) return std::nullopt;

  // A client that has gone already is noticed by the session loop.
  (void)connection.write(std::string(kOkKeyword) + "|" + token + "|" +
                         kProtocolVersion);
  log_line("SESSION READY pid=" + format_decimal_u32(client_pid) +
           " host=" + escape_log_value(file_name_from_path(client_image_path)));

  SessionState state;
  state.connection = std::move(connection);
  state.client_pid = client_pid;
  state.client_process = std::move(client);
  state.token = std::move(token);
  state.hash_turn = hash_turn;
  state.integrity_record = std::move(record);
  const std::uint64_t now = os::tick_ms();
  state.last_heartbeat_tick = now;
  state.last_recheck_tick = now;
  state.last_sequence = 0;
  return state;
}

}  // namespace vorn
