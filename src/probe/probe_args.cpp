#include "probe/probe_args.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vorn_guard.h"

namespace vorn::probe {
namespace {

// Strict decimal: digits only, no sign, no blanks, at most 4294967295.
bool parse_u32(const std::string& text, std::uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (result > 0xFFFFFFFFu) return false;
  value = static_cast<std::uint32_t>(result);
  return true;
}

// What the usage does not allow.
os::Error bad_argument(std::string words) {
  return os::Error(os::Errc::invalid, std::move(words));
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool command_from_name(const std::string& name, Command& command) {
  if (name == "status") {
    command = Command::status;
  } else if (name == "session") {
    command = Command::session;
  } else if (name == "raw") {
    command = Command::raw;
  } else if (name == "evidence") {
    command = Command::evidence;
  } else if (name == "help") {
    command = Command::help;
  } else {
    return false;
  }
  return true;
}

// Which options each command accepts.
bool option_allowed(Command command, const std::string& name) {
  switch (command) {
    case Command::status:
      return name == "--timeout-ms" || name == "--json" ||
             name == "--connect-only";
    case Command::session:
      return name == "--seconds" || name == "--interval-ms" ||
             name == "--timeout-ms" || name == "--reconnect" ||
             name == "--json";
    case Command::raw:
      return name == "--load-guard" || name == "--wait-ms" ||
             name == "--hold-ms" || name == "--delay-ms" || name == "--no-read";
    case Command::evidence:
      return name == "--load-guard" || name == "--hold-ms";
    case Command::help:
    case Command::version:
      return false;
  }
  return false;
}

bool is_flag(const std::string& name) {
  return name == "--load-guard" || name == "--no-read" ||
         name == "--reconnect" || name == "--json" || name == "--connect-only";
}

std::uint32_t* value_slot(ProbeOptions& options, const std::string& name) {
  if (name == "--timeout-ms") return &options.timeout_ms;
  if (name == "--seconds") return &options.seconds;
  if (name == "--interval-ms") return &options.interval_ms;
  if (name == "--wait-ms") return &options.wait_ms;
  if (name == "--hold-ms") return &options.hold_ms;
  if (name == "--delay-ms") return &options.delay_ms;
  return nullptr;
}

void append_text(MessageTemplate& message, char byte) {
  if (message.pieces.empty() || message.pieces.back().kind != PieceKind::text) {
    message.pieces.push_back(MessagePiece{});
  }
  message.pieces.back().text.push_back(byte);
}

void append_text(MessageTemplate& message, const std::string& bytes) {
  for (char byte : bytes) append_text(message, byte);
}

os::Error parse_placeholder(const std::string& name, MessageTemplate& message) {
  if (name == "pid") {
    message.pieces.push_back(MessagePiece{PieceKind::pid, {}});
  } else if (name == "e1") {
    message.pieces.push_back(MessagePiece{PieceKind::evidence_1, {}});
  } else if (name == "e2") {
    message.pieces.push_back(MessagePiece{PieceKind::evidence_2, {}});
  } else if (name == "token") {
    message.pieces.push_back(MessagePiece{PieceKind::token, {}});
  } else if (name == "empty") {
    // Stands for nothing; lets a whole argument say "zero bytes".
  } else if (name.compare(0, 5, "fill:") == 0) {
    std::uint32_t count = 0;
    if (!parse_u32(name.substr(5), count) || count > kMaxFill) {
      return bad_argument("bad fill count in {" + name + "}");
    }
    append_text(message, std::string(count, 'A'));
  } else {
    return bad_argument("unknown placeholder {" + name + "}");
  }
  return os::Error();
}

os::Error parse_escape(const std::string& source, std::size_t& i,
                       MessageTemplate& message) {
  // source[i] is the backslash.
  if (i + 1 >= source.size()) {
    return bad_argument("backslash at the end of a message");
  }
  const char code = source[i + 1];
  i += 2;
  switch (code) {
    case 'n':
      append_text(message, '\n');
      return os::Error();
    case 'r':
      append_text(message, '\r');
      return os::Error();
    case '0':
      append_text(message, '\0');
      return os::Error();
    case '\\':
      append_text(message, '\\');
      return os::Error();
    case '{':
      append_text(message, '{');
      return os::Error();
    case 'x': {
      const int high = i < source.size() ? hex_value(source[i]) : -1;
      const int low = i + 1 < source.size() ? hex_value(source[i + 1]) : -1;
      if (high < 0 || low < 0) {
        return bad_argument("\\x needs two hexadecimal digits");
      }
      append_text(message, static_cast<char>(high * 16 + low));
      i += 2;
      return os::Error();
    }
    default:
      return bad_argument(std::string("unknown escape \\") + code);
  }
}

void escape_byte(std::string& out, unsigned char byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  switch (byte) {
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\0':
      out += "\\0";
      return;
    case '\\':
      out += "\\\\";
      return;
    default:
      break;
  }
  if (byte >= 0x20 && byte < 0x7F) {
    out.push_back(static_cast<char>(byte));
    return;
  }
  out += "\\x";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

}  // namespace

os::Error parse_probe_args(const std::vector<std::string>& arguments,
                           ProbeOptions& options) {
  options = ProbeOptions{};
  if (arguments.empty()) {
    return bad_argument("no command given");
  }
  for (const std::string& argument : arguments) {
    if (argument == "--") break;
    if (argument == "--version") {
      options.command = Command::version;
      return os::Error();
    }
    if (argument == "--help" || argument == "-h") {
      options.command = Command::help;
      return os::Error();
    }
  }
  if (!command_from_name(arguments[0], options.command)) {
    return bad_argument("unknown command '" + arguments[0] + "'");
  }
  if (options.command == Command::help) {
    if (arguments.size() > 1) {
      return bad_argument("help takes no arguments");
    }
    return os::Error();
  }

  bool seconds_given = false;
  bool options_ended = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!options_ended && argument == "--") {
      options_ended = true;
      continue;
    }
    if (options_ended || argument.compare(0, 2, "--") != 0) {
      if (options.command != Command::raw) {
        return bad_argument("unexpected argument '" + argument + "'");
      }
      options.messages.push_back(argument);
      continue;
    }
    std::string name = argument;
    std::string value;
    bool has_value = false;
    const std::size_t equals = argument.find('=');
    if (equals != std::string::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
      has_value = true;
    }
    if (!option_allowed(options.command, name)) {
      return bad_argument("option " + name + " is not known to '" +
                          arguments[0] + "'");
    }
    if (is_flag(name)) {
      if (has_value) {
        return bad_argument("option " + name + " takes no value");
      }
      if (name == "--load-guard") options.load_guard = true;
      if (name == "--no-read") options.no_read = true;
      if (name == "--reconnect") options.reconnect = true;
      if (name == "--json") options.json = true;
      if (name == "--connect-only") options.connect_only = true;
      continue;
    }
    if (!has_value) {
      if (i + 1 >= arguments.size()) {
        return bad_argument("option " + name + " needs a number");
      }
      value = arguments[++i];
    }
    std::uint32_t* slot = value_slot(options, name);
    if (slot == nullptr || !parse_u32(value, *slot)) {
      return bad_argument("option " + name + " needs a number, not '" + value +
                          "'");
    }
    if (name == "--seconds") seconds_given = true;
  }

  if (options.command == Command::session) {
    if (!seconds_given) {
      return bad_argument("session needs --seconds N");
    }
    // The guard module's own range.
    if (options.interval_ms < VORN_GUARD_MIN_INTERVAL_MS ||
        options.interval_ms > VORN_GUARD_MAX_INTERVAL_MS) {
      return bad_argument("--interval-ms must be within 250..8000");
    }
  }
  return os::Error();
}

std::string probe_usage() {
  return R"USAGE(vorn-guard-probe: talks to the local guard service like a game client.

Usage:
  vorn-guard-probe status [--timeout-ms N] [--json] [--connect-only]
      Loads the guard module, opens a session, prints the outcome and ends
      the session with BYE. N limits connecting and the wait for the reply
      (default: 3000 ms to connect, 10000 ms for the reply). When nothing
      listens at the endpoint it fails at once, naming it and the system's
      error; it waits only while every instance is busy. --connect-only
      connects, checks that the service answers and closes, without a
      HELLO: the service logs nothing.
  vorn-guard-probe session --seconds N [--interval-ms M] [--timeout-ms N]
                           [--reconnect] [--json]
      Loads the guard module, keeps a session for N seconds with a heartbeat
      every M ms (250..8000, default 5000), prints PONG round-trip statistics
      and ends with BYE. A session the service ends stops the probe (exit 5),
      unless --reconnect lets the module reconnect, each event shown as
      "EVENT <name> (<detail>)"; it then exits 0 when connected at the end.
  vorn-guard-probe raw [--load-guard] [--wait-ms N] [--hold-ms N]
                       [--delay-ms N] [--no-read] [--] MESSAGE...
      Connects without starting the guard module and sends each MESSAGE as
      one message. After each one it waits up to --wait-ms (default 2000) for
      one reply and prints it as "< " and the reply (control bytes escaped,
      the framing line feed left out; "(no line feed)" marks a reply that
      lacks it); "closed" when the service closed the connection.
      --delay-ms waits between messages (printing what arrives), --hold-ms
      keeps the connection open after the last one (the same), --no-read
      reads nothing after the reply to the first message (a client that
      never reads its PONGs). --load-guard loads the guard module into the probe
      without starting it. Each message sent is shown as "> ".
  vorn-guard-probe evidence [--load-guard] [--hold-ms N]
      Prints the evidence values of the probe and of the guard module as
      lines of a trusted-digest list ("<digest>  <file name>"), then its pid,
      the module's path and "ready" as comments ("# pid=", "# module=",
      "# ready"); with --load-guard the guard module is loaded (not started)
      first; --hold-ms keeps the process alive afterwards.
  vorn-guard-probe help | --help
  vorn-guard-probe --version

--json (status, session) prints one JSON object instead of the lines:
  {"command", "endpoint", "outcome" ("ok", "refused", "no-reply",
  "unreachable", "not-the-service", "closed", "no-guard-module", "error"),
  "reply" (the
  service's ERR reply, or the module's words), "exit_code", "elapsed_ms",
  and for session "pings_sent", "pongs", "rtt_min_ms", "rtt_avg_ms",
  "rtt_max_ms", "reconnects"}.

The endpoint is /run/VORN/VORNGuardLocalGuard (Linux) or
\\.\pipe\VORNGuardLocalGuard (Windows), unless VORN_GUARD_ENDPOINT names
another. Outcomes go to standard output, errors to standard error.

The guard module (vorn_guard.dll / libvorn_guard.so.1) is loaded from the
probe's own directory first, then from the system's search path.

MESSAGE escapes: \n \r \0 \\ \{ \xHH
MESSAGE placeholders:
  {pid}      the probe's process id
  {e1}       SHA-256 (hex) of the probe's executable file
  {e2}       SHA-256 (hex) of the guard module file (the one that would
             be loaded: beside the probe, else from the search path)
  {token}    the token of the last "OK|" reply received
  {fill:N}   N bytes 'A' (at most 1048576)
  {empty}    nothing; a MESSAGE of exactly {empty} is a zero-length message

Exit codes:
  0  success (raw: every message was sent, and no ERR reply came)
  1  the service refused the session (an ERR reply)
  2  usage error, or {token} used before any "OK|" reply
  3  the service could not be reached, or something else answers there
  4  the guard module cannot be loaded, or an evidence value cannot be made
  5  session: the service closed the session early (--reconnect: no
     session at the end)
  6  raw: the service closed the connection before every message was sent
  7  no usable reply in time, or the connection closed without one (a busy
     or stopping service)
)USAGE";
}

os::Error parse_message_template(const std::string& source,
                                 MessageTemplate& message) {
  message = MessageTemplate{};
  std::size_t i = 0;
  while (i < source.size()) {
    const char c = source[i];
    if (c == '\\') {
      if (os::Error error = parse_escape(source, i, message)) return error;
    } else if (c == '{') {
      const std::size_t close = source.find('}', i + 1);
      if (close == std::string::npos) {
        return bad_argument("unclosed { in a message (write \\{ for a brace)");
      }
      if (os::Error error =
              parse_placeholder(source.substr(i + 1, close - i - 1), message)) {
        return error;
      }
      i = close + 1;
    } else {
      append_text(message, c);
      ++i;
    }
  }
  return os::Error();
}

bool template_uses(const MessageTemplate& message, PieceKind kind) {
  for (const MessagePiece& piece : message.pieces) {
    if (piece.kind == kind) return true;
  }
  return false;
}

std::string render_message(const MessageTemplate& message,
                           const TemplateValues& values) {
  std::string bytes;
  for (const MessagePiece& piece : message.pieces) {
    switch (piece.kind) {
      case PieceKind::text:
        bytes += piece.text;
        break;
      case PieceKind::pid:
        bytes += values.pid;
        break;
      case PieceKind::evidence_1:
        bytes += values.evidence_1;
        break;
      case PieceKind::evidence_2:
        bytes += values.evidence_2;
        break;
      case PieceKind::token:
        bytes += values.token;
        break;
    }
  }
  return bytes;
}

std::string escape_for_display(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char byte : bytes) escape_byte(out, static_cast<unsigned char>(byte));
  return out;
}

}  // namespace vorn::probe
