#include "protocol/guard_protocol.h"

#include "protocol/message_fields.h"
#include "protocol/rules.h"

namespace vorn::guard {
namespace {

bool is_token(const std::string& text) {
  if (text.size() != kTokenDigits) return false;
  for (char c : text) {
    const bool digit = c >= '0' && c <= '9';
    const bool upper_hex = c >= 'A' && c <= 'F';
    if (!digit && !upper_hex) return false;
  }
  return true;
}

bool is_decimal(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::string hello_message(std::uint32_t pid, const std::string& client_tag,
                          const std::string& evidence_1,
                          const std::string& evidence_2) {
  return std::string(kHelloKeyword) + "|" + format_decimal_u32(pid) + "|" +
         client_tag + "|" + evidence_1 + "|" + evidence_2;
}

std::string ping_message(const std::string& token, std::int64_t sequence) {
  return std::string(kPingKeyword) + "|" + token + "|" +
         format_decimal_i64(sequence) + "|vorn_guard";
}

std::string bye_message(const std::string& token) {
  return std::string(kByeKeyword) + "|" + token;
}

std::string strip_terminators(const std::string& message) {
  std::size_t end = message.size();
  while (end > 0) {
    const char c = message[end - 1];
    if (c != '\n' && c != '\r' && c != '\0') break;
    --end;
  }
  return message.substr(0, end);
}

StartReply parse_start_reply(const std::string& reply, std::string& token) {
  const FieldList fields = split_fields(strip_terminators(reply));
  if (fields.size() == 3 && text_equals(fields[0], kOkKeyword) &&
      is_token(fields[1]) && !fields[2].empty()) {
    token = fields[1];
    return text_equals(fields[2], kProtocolVersion) ? StartReply::ok
                                                    : StartReply::other_version;
  }
  if (fields.size() == 2 && text_equals(fields[0], "ERR") &&
      !fields[1].empty()) {
    return StartReply::refused;
  }
  return StartReply::unexpected;
}

bool parse_pong(const std::string& reply, std::int64_t& sequence) {
  const FieldList fields = split_fields(strip_terminators(reply));
  if (fields.size() != 2 || !text_equals(fields[0], kPongKeyword) ||
      !is_decimal(fields[1])) {
    return false;
  }
  sequence = parse_decimal_i64(fields[1]);
  return true;
}

}  // namespace vorn::guard
