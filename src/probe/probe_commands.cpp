#include "probe/probe_commands.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "client/timed_read.h"
#include "platform/client.h"
#include "platform/runtime.h"
#include "probe/guard_loader.h"
#include "protocol/evidence.h"
#include "protocol/guard_protocol.h"
#include "protocol/message_fields.h"
#include "protocol/rules.h"

namespace vorn::probe {
namespace {

using client::read_for;
using client::ReadResult;

// 16 bytes: the service wants at least 12.
constexpr char kProbeTag[] = "vorn-guard-probe";
static_assert(sizeof kProbeTag - 1 >= kMinTagBytes);
constexpr std::uint32_t kRawConnectTimeoutMs = 3000;
constexpr std::uint32_t kPollSliceMs = 100;
// Longer messages are shown cut, with their length.
constexpr std::size_t kDisplayLimit = 300;

// Every line is flushed at once: the service may end this process at any
// moment, and tests read the output as it comes.
void say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void complain(const std::string& line) {
  std::fputs(line.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

std::string display(const std::string& bytes) {
  if (bytes.size() <= kDisplayLimit) return escape_for_display(bytes);
  return escape_for_display(bytes.substr(0, kDisplayLimit)) + "... (" +
         std::to_string(bytes.size()) + " bytes)";
}

// Loads the module and looks up its functions; prints why not.
bool open_guard(GuardLibrary& library, GuardApi& api) {
  os::Error error = load_guard_module(library);
  if (!error) error = resolve_guard_api(library, api);
  if (error) {
    complain("ERROR: guard module cannot be loaded: " + error.words());
    unload_guard_library(library);
    return false;
  }
  return true;
}

// What status and session found, printed as lines or as one JSON object.
struct Outcome {
  std::string command;
  std::string outcome = "ok";
  std::string reply;  // the service's ERR reply, or the module's words
  int exit_code = kExitOk;
  std::uint64_t elapsed_ms = 0;
  bool has_stats = false;
  vorn_guard_stats stats = {};
  unsigned reconnects = 0;
};

std::string json_string(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\u00";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

unsigned average_rtt(const vorn_guard_stats& stats) {
  return stats.pongs_received == 0
             ? 0
             : static_cast<unsigned>(stats.total_rtt_ms / stats.pongs_received);
}

int print_json(const Outcome& out) {
  std::string line =
      "{\"command\":" + json_string(out.command) +
      ",\"endpoint\":" + json_string(os::client_endpoint().name) +
      ",\"outcome\":" + json_string(out.outcome) +
      ",\"reply\":" + json_string(out.reply) +
      ",\"exit_code\":" + std::to_string(out.exit_code) +
      ",\"elapsed_ms\":" + std::to_string(out.elapsed_ms);
  if (out.has_stats) {
    line += ",\"pings_sent\":" + std::to_string(out.stats.pings_sent) +
            ",\"pongs\":" + std::to_string(out.stats.pongs_received) +
            ",\"rtt_min_ms\":" + std::to_string(out.stats.min_rtt_ms) +
            ",\"rtt_avg_ms\":" + std::to_string(average_rtt(out.stats)) +
            ",\"rtt_max_ms\":" + std::to_string(out.stats.max_rtt_ms) +
            ",\"reconnects\":" + std::to_string(out.reconnects);
  }
  say(line + "}");
  return out.exit_code;
}

// The exit code, after the JSON object when that was asked for.
int conclude(Outcome& out, std::uint64_t start, bool json) {
  out.elapsed_ms = os::tick_ms() - start;
  return json ? print_json(out) : out.exit_code;
}

// A failure: its outcome for --json, and its line otherwise (errors of the
// probe itself on stderr, the service's answers on stdout).
int fail(Outcome& out, const char* outcome, int exit_code,
         const std::string& reply, const std::string& line, bool json) {
  out.outcome = outcome;
  out.exit_code = exit_code;
  out.reply = reply;
  if (json) return exit_code;
  if (exit_code == kExitNoGuardModule) {
    complain(line);
  } else {
    say(line);
  }
  return exit_code;
}

int unreachable(Outcome& out, const std::string& error, bool json) {
  return fail(out, "unreachable", kExitUnreachable, error,
              "UNREACHABLE: " + os::client_endpoint().name + ": " + error,
              json);
}

// The outcome of a failed start.
int failed_start(Outcome& out, int result, const GuardApi& api, bool json) {
  const std::string why = api.last_error();
  switch (result) {
    case VORN_GUARD_E_REFUSED:
      return fail(out, "refused", kExitRefused, why, "REFUSED: " + why, json);
    case VORN_GUARD_E_NO_REPLY:
      return fail(out, "no-reply", kExitNoReply, why,
                  "NO REPLY: no usable reply in time (" + why + ")", json);
    case VORN_GUARD_E_VERSION:
      return fail(
          out, "refused", kExitRefused, why,
          "REFUSED: the service speaks another protocol version (" + why + ")",
          json);
    case VORN_GUARD_E_CONNECT:
      return unreachable(out, why, json);
    case VORN_GUARD_E_NOT_SERVICE:
      return fail(out, "not-the-service", kExitUnreachable, why,
                  "UNREACHABLE: " + os::client_endpoint().name +
                      " is not served by the guard service (" + why + ")",
                  json);
    case VORN_GUARD_E_EVIDENCE:
      return fail(out, "no-guard-module", kExitNoGuardModule, why,
                  "ERROR: the guard module cannot compute its evidence", json);
    default:
      return fail(out, "error", kExitNoGuardModule, why,
                  "ERROR: the guard module failed to start (code " +
                      std::to_string(result) + ", " + why + ")",
                  json);
  }
}

// What a session's event callback saw.
struct SessionWatch {
  bool show = false;  // print each event
  std::atomic<bool> ended{false};
  std::atomic<unsigned> reconnects{0};  // sessions opened after the first
};

const char* event_name(int event) {
  switch (event) {
    case VORN_GUARD_EVENT_CONNECTED:
      return "connected";
    case VORN_GUARD_EVENT_REFUSED:
      return "refused";
    case VORN_GUARD_EVENT_ENDED:
      return "ended";
    case VORN_GUARD_EVENT_RECONNECTING:
      return "reconnecting";
    default:
      return "unknown";
  }
}

void on_session_event(void* context, int event, int /*result*/,
                      const char* detail) {
  auto* watch = static_cast<SessionWatch*>(context);
  if (event == VORN_GUARD_EVENT_ENDED) watch->ended.store(true);
  if (event == VORN_GUARD_EVENT_CONNECTED) ++watch->reconnects;
  if (watch->show) {
    say(std::string("EVENT ") + event_name(event) + " (" + detail + ")");
  }
}

// The one line feed that frames every reply is not shown; a reply without
// it is marked, since the service should never send one.
void show_reply(const std::string& reply, TemplateValues& values) {
  if (!reply.empty() && reply.back() == '\n') {
    say("< " + display(reply.substr(0, reply.size() - 1)));
  } else {
    say("< " + display(reply) + " (no line feed)");
  }
  std::string token;
  switch (guard::parse_start_reply(reply, token)) {
    case guard::StartReply::ok:
      values.token = token;
      break;
    case guard::StartReply::refused:
      values.refused = true;
      break;
    case guard::StartReply::other_version:
    case guard::StartReply::unexpected:
      break;
  }
}

// Prints what arrives for `duration_ms`. False once the service has closed.
bool pump(const os::ClientConnection& connection, std::uint32_t duration_ms,
          bool read, TemplateValues& values) {
  if (!read) {
    os::sleep_ms(duration_ms);
    return true;
  }
  const std::uint64_t start = os::tick_ms();
  for (;;) {
    const std::uint64_t elapsed = os::tick_ms() - start;
    if (elapsed >= duration_ms) return true;
    const std::uint64_t left = duration_ms - elapsed;
    std::string message;
    switch (read_for(
        connection,
        static_cast<std::uint32_t>(left < kPollSliceMs ? left : kPollSliceMs),
        message)) {
      case ReadResult::message:
        show_reply(message, values);
        break;
      case ReadResult::closed:
        say("closed");
        return false;
      case ReadResult::nothing:
        break;
    }
  }
}

// Waits for the one reply to a message. False once the service has closed.
bool await_reply(const os::ClientConnection& connection, std::uint32_t wait_ms,
                 TemplateValues& values) {
  std::string reply;
  switch (read_for(connection, wait_ms, reply)) {
    case ReadResult::message:
      show_reply(reply, values);
      return true;
    case ReadResult::closed:
      say("closed");
      return false;
    case ReadResult::nothing:
      return true;
  }
  return true;
}

bool own_evidence(std::string& evidence_1) {
  std::string executable;
  return os::current_executable_path(executable) &&
         file_evidence(executable, evidence_1);
}

// A file's name as a label of the trusted-digest list: one line, whatever
// the name holds.
std::string list_label(const std::string& path) {
  std::string label = file_name_from_path(path);
  for (char& c : label) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return label;
}

// The module's evidence, and where it was found.
os::Error module_evidence(std::string& path, std::string& evidence_2) {
  if (os::Error error = find_guard_module(path)) return error;
  if (!file_evidence(path, evidence_2)) {
    return os::Error(os::Errc::other, "cannot read " + path);
  }
  return os::Error();
}

// Fills in the values the templates need; prints why one cannot be made.
bool prepare_values(const std::vector<MessageTemplate>& messages,
                    TemplateValues& values) {
  bool uses_1 = false;
  bool uses_2 = false;
  for (const MessageTemplate& message : messages) {
    uses_1 = uses_1 || template_uses(message, PieceKind::evidence_1);
    uses_2 = uses_2 || template_uses(message, PieceKind::evidence_2);
  }
  values.pid = format_decimal_u32(os::current_process_id());
  if (uses_1 && !own_evidence(values.evidence_1)) {
    complain("ERROR: cannot hash the probe's own executable for {e1}");
    return false;
  }
  if (!uses_2) return true;
  std::string module_path;
  if (const os::Error problem =
          module_evidence(module_path, values.evidence_2)) {
    complain("ERROR: no guard module for {e2}: " + problem.words());
    return false;
  }
  return true;
}

// Sends the messages in order. Returns the exit code.
int send_messages(const os::ClientConnection& connection,
                  const ProbeOptions& options,
                  const std::vector<MessageTemplate>& messages,
                  TemplateValues& values) {
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const bool last = i + 1 == messages.size();
    if (template_uses(messages[i], PieceKind::token) && values.token.empty()) {
      complain("vorn-guard-probe: {token} in message " + std::to_string(i + 1) +
               " but no \"OK|\" reply came before");
      return kExitUsage;
    }
    const std::string bytes = render_message(messages[i], values);
    say("> " + display(bytes));
    if (!os::client_write(connection, bytes.data(), bytes.size())) {
      say("closed");
      return kExitClosedBeforeSent;
    }
    // --no-read still takes the reply to the first message, so that a
    // client that never reads its PONGs can be played with a real token.
    const bool read_reply = !options.no_read || i == 0;
    if (read_reply && !await_reply(connection, options.wait_ms, values)) {
      return last ? kExitOk : kExitClosedBeforeSent;
    }
    if (!last && options.delay_ms > 0 &&
        !pump(connection, options.delay_ms, !options.no_read, values)) {
      return kExitClosedBeforeSent;
    }
  }
  if (options.hold_ms > 0) {
    (void)pump(connection, options.hold_ms, !options.no_read, values);
  }
  return kExitOk;
}

}  // namespace

int run_status(const ProbeOptions& options) {
  Outcome out;
  out.command = "status";
  const std::uint64_t start = os::tick_ms();
  const auto finish = [&](int) { return conclude(out, start, options.json); };
  // Nothing listening is known at once; only busy instances are waited for.
  os::Error error = os::client_endpoint_listening();
  if (error) return finish(unreachable(out, error.words(), options.json));
  if (options.connect_only) {
    os::ClientConnection connection;
    switch (os::client_connect(connection, kRawConnectTimeoutMs, &error)) {
      case os::ConnectResult::connected:
        connection.close();
        if (!options.json) {
          say("OK: " + os::client_endpoint().name + " answers");
        }
        return finish(kExitOk);
      case os::ConnectResult::not_the_service:
        return finish(fail(
            out, "not-the-service", kExitUnreachable, error.words(),
            "UNREACHABLE: " + os::client_endpoint().name +
                " is not served by the guard service (" + error.words() + ")",
            options.json));
      case os::ConnectResult::unreachable:
      case os::ConnectResult::busy:
        break;
    }
    return finish(unreachable(out, error.words(), options.json));
  }
  GuardLibrary library;
  GuardApi api;
  if (!open_guard(library, api)) {
    return finish(fail(out, "no-guard-module", kExitNoGuardModule,
                       "the guard module cannot be loaded", "", true));
  }
  const int result = api.start_ex(kProbeTag, 0, options.timeout_ms);
  if (result == VORN_GUARD_OK) {
    if (!options.json) say("OK: handshake passed");
    api.stop();
  } else {
    (void)failed_start(out, result, api, options.json);
  }
  unload_guard_library(library);
  return finish(out.exit_code);
}

int run_session(const ProbeOptions& options) {
  Outcome out;
  out.command = "session";
  const std::uint64_t start_tick = os::tick_ms();
  const auto finish = [&](int) {
    return conclude(out, start_tick, options.json);
  };
  if (const os::Error error = os::client_endpoint_listening()) {
    return finish(unreachable(out, error.words(), options.json));
  }
  GuardLibrary library;
  GuardApi api;
  if (!open_guard(library, api)) {
    return finish(fail(out, "no-guard-module", kExitNoGuardModule,
                       "the guard module cannot be loaded", "", true));
  }
  SessionWatch watch;
  watch.show = options.reconnect && !options.json;
  vorn_guard_options start{};
  start.client_tag = kProbeTag;
  start.heartbeat_interval_ms = options.interval_ms;
  start.timeout_ms = options.timeout_ms;
  start.on_event = on_session_event;
  start.context = &watch;
  const int result = api.start_with(&start, sizeof start);
  if (result != VORN_GUARD_OK) {
    (void)failed_start(out, result, api, options.json);
    unload_guard_library(library);
    return finish(out.exit_code);
  }
  if (!options.json) say("OK: handshake passed");

  const std::uint64_t hold_ms = std::uint64_t{options.seconds} * 1000;
  bool closed_early = false;
  for (;;) {
    const std::uint64_t elapsed = os::tick_ms() - start_tick;
    if (elapsed >= hold_ms) break;
    if (!options.reconnect && watch.ended.load()) {
      closed_early = true;
      break;
    }
    const std::uint64_t left = hold_ms - elapsed;
    os::sleep_ms(
        static_cast<std::uint32_t>(left < kPollSliceMs ? left : kPollSliceMs));
  }
  const std::uint64_t held_ms = os::tick_ms() - start_tick;
  const bool connected_at_end = api.is_connected() != 0;
  const std::string why = api.last_error();
  (void)api.get_stats(&out.stats);
  out.has_stats = true;
  out.reconnects = watch.reconnects.load();
  api.stop();
  unload_guard_library(library);

  if (!options.json) {
    say("PONG count=" + std::to_string(out.stats.pongs_received) +
        " min=" + std::to_string(out.stats.min_rtt_ms) +
        " avg=" + std::to_string(average_rtt(out.stats)) +
        " max=" + std::to_string(out.stats.max_rtt_ms) +
        " ms (PING sent=" + std::to_string(out.stats.pings_sent) + ")");
  }
  if (closed_early) {
    return finish(fail(out, "closed", kExitClosedEarly, why,
                       "CLOSED: the service closed the session after " +
                           std::to_string(held_ms) + " ms (" + why + ")",
                       options.json));
  }
  if (!connected_at_end) {
    return finish(fail(out, "closed", kExitClosedEarly, why,
                       "CLOSED: no session at the end (" + why + ")",
                       options.json));
  }
  if (!options.json) say("OK: session ended with BYE");
  return finish(kExitOk);
}

int run_raw(const ProbeOptions& options) {
  std::vector<MessageTemplate> messages(options.messages.size());
  for (std::size_t i = 0; i < options.messages.size(); ++i) {
    if (const os::Error error =
            parse_message_template(options.messages[i], messages[i])) {
      complain("vorn-guard-probe: message " + std::to_string(i + 1) + ": " +
               error.words());
      return kExitUsage;
    }
  }
  TemplateValues values;
  if (!prepare_values(messages, values)) return kExitNoGuardModule;

  GuardLibrary library;
  if (options.load_guard) {
    if (const os::Error error = load_guard_module(library)) {
      complain("ERROR: guard module cannot be loaded: " + error.words());
      return kExitNoGuardModule;
    }
  }

  os::ClientConnection connection;
  int exit_code = kExitOk;
  os::Error error = os::client_endpoint_listening();
  const os::ConnectResult connected =
      error ? os::ConnectResult::unreachable
            : os::client_connect(connection, kRawConnectTimeoutMs, &error);
  if (connected == os::ConnectResult::not_the_service) {
    say("UNREACHABLE: " + os::client_endpoint().name +
        " is not served by the guard service (" + error.words() + ")");
    exit_code = kExitUnreachable;
  } else if (connected != os::ConnectResult::connected) {
    say("UNREACHABLE: " + os::client_endpoint().name + ": " + error.words());
    exit_code = kExitUnreachable;
  } else {
    exit_code = send_messages(connection, options, messages, values);
    connection.close();
    if (values.refused && exit_code != kExitUsage) exit_code = kExitRefused;
  }
  unload_guard_library(library);
  return exit_code;
}

int run_evidence(const ProbeOptions& options) {
  std::string evidence_1;
  if (!own_evidence(evidence_1)) {
    complain("ERROR: cannot hash the probe's own executable");
    return kExitNoGuardModule;
  }
  std::string module_path;
  std::string evidence_2;
  if (const os::Error problem = module_evidence(module_path, evidence_2)) {
    complain("ERROR: no guard module: " + problem.words());
    return kExitNoGuardModule;
  }
  GuardLibrary library;
  if (options.load_guard) {
    if (const os::Error error = load_guard_library(module_path, library)) {
      complain("ERROR: guard module cannot be loaded: " + error.words());
      return kExitNoGuardModule;
    }
  }
  // The trusted-digest list's own format: the two entries, then comments.
  std::string executable;
  (void)os::current_executable_path(executable);
  say(evidence_1 + "  " + list_label(executable));
  say(evidence_2 + "  " + list_label(module_path));
  say("# pid=" + format_decimal_u32(os::current_process_id()));
  say("# module=" + module_path);
  say("# ready");
  if (options.hold_ms > 0) os::sleep_ms(options.hold_ms);
  unload_guard_library(library);
  return kExitOk;
}

}  // namespace vorn::probe
