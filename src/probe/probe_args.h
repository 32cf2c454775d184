// The probe's command line and its message templates, as plain functions so
// the rules can be tested without a service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"

namespace vorn::probe {

// Exit codes, shared by all commands.
constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
// The same as the service's.
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;
constexpr int kExitNoGuardModule = 4;
constexpr int kExitClosedEarly = 5;
constexpr int kExitClosedBeforeSent = 6;
// No usable reply in time, or the connection closed without one: a busy or
// stopping service rather than a refusal.
constexpr int kExitNoReply = 7;

enum class Command { help, version, status, session, raw, evidence };

struct ProbeOptions {
  Command command = Command::help;
  std::uint32_t timeout_ms = 0;  // 0: the guard module's own limits
  std::uint32_t seconds = 0;
  std::uint32_t interval_ms = 5000;
  bool load_guard = false;
  std::uint32_t wait_ms = 2000;
  std::uint32_t hold_ms = 0;
  std::uint32_t delay_ms = 0;
  bool no_read = false;
  bool reconnect = false;     // session: ride out sessions the service ends
  bool json = false;          // status, session: one JSON object on stdout
  bool connect_only = false;  // status: connect, check, close; no HELLO
  std::vector<std::string> messages;
};

// `arguments` excludes the program name. Fails (Errc::invalid, one line of
// words) for anything the usage does not allow.
os::Error parse_probe_args(const std::vector<std::string>& arguments,
                           ProbeOptions& options);

std::string probe_usage();

// ---------------------------------------------------------------- messages
enum class PieceKind { text, pid, evidence_1, evidence_2, token };

struct MessagePiece {
  PieceKind kind = PieceKind::text;
  std::string text;  // for PieceKind::text
};

struct MessageTemplate {
  std::vector<MessagePiece> pieces;
};

// The largest {fill:N}.
constexpr std::size_t kMaxFill = 1u << 20;

// Reads a MESSAGE argument: escapes \n \r \0 \\ \{ \xHH and placeholders
// {pid} {e1} {e2} {token} {fill:N} {empty}. Fails (Errc::invalid) on an
// unknown escape or placeholder, a bad \x, an unclosed brace or a bad fill
// count.
os::Error parse_message_template(const std::string& source,
                                 MessageTemplate& message);

bool template_uses(const MessageTemplate& message, PieceKind kind);

struct TemplateValues {
  std::string pid;
  std::string evidence_1;
  std::string evidence_2;
  std::string token;
  bool refused = false;  // an "ERR|" reply came
};

std::string render_message(const MessageTemplate& message,
                           const TemplateValues& values);

// Bytes for a terminal: printable ASCII as it is, the backslash doubled,
// \n \r \0 by name and every other byte as \xHH, so a reply can be read back
// exactly.
std::string escape_for_display(const std::string& bytes);

}  // namespace vorn::probe
