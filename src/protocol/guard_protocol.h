// The client side of the guard protocol as plain text functions, shared by
// the guard module and the probe so both speak exactly the same messages.
#pragma once

#include <cstdint>
#include <string>

namespace vorn::guard {

// "HELLO|<pid>|<tag>|<evidence_1>|<evidence_2>"
std::string hello_message(std::uint32_t pid, const std::string& client_tag,
                          const std::string& evidence_1,
                          const std::string& evidence_2);
// "PING|<token>|<sequence>|vorn_guard"
std::string ping_message(const std::string& token, std::int64_t sequence);
// "BYE|<token>"
std::string bye_message(const std::string& token);

// The service ends every message with a line feed; this drops the trailing
// run of line feeds, carriage returns and zero bytes.
std::string strip_terminators(const std::string& message);

enum class StartReply { ok, other_version, refused, unexpected };
// Reads the service's answer to HELLO (terminators already stripped or not).
// ok: exactly "OK|<64 upper-case hex digits>|1.0.0", `token` set.
// other_version: the same with another, non-empty version, `token` set.
// refused: "ERR|<word>". unexpected: anything else.
StartReply parse_start_reply(const std::string& reply, std::string& token);

// True for "PONG|<decimal>", with the number in `sequence`.
bool parse_pong(const std::string& reply, std::int64_t& sequence);

}  // namespace vorn::guard
