#include "protocol/message_fields.h"

#include <limits>

namespace vorn {

FieldList split_fields(const std::string& message) {
  FieldList fields;
  std::size_t start = 0;
  while (start < message.size()) {
    const std::size_t bar = message.find('|', start);
    if (bar == std::string::npos) {
      fields.push_back(message.substr(start));
      break;
    }
    fields.push_back(message.substr(start, bar - start));
    start = bar + 1;
  }
  return fields;
}

bool text_equals(const std::string& a, const std::string& b) {
  return a.size() == b.size() && a.compare(b) == 0;
}

namespace {

std::string format_magnitude(std::uint64_t magnitude, bool negative) {
  char digits[24];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::string text;
  if (negative) text.push_back('-');
  while (count > 0) text.push_back(digits[--count]);
  return text;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Sign and magnitude as strtoul / _strtoi64 read them; the magnitude
// saturates at `limit` + 1 so callers can tell "too large".
struct ParsedNumber {
  bool negative = false;
  std::uint64_t magnitude = 0;  // capped at cap
};

ParsedNumber parse_magnitude(const std::string& text, std::uint64_t cap) {
  ParsedNumber parsed;
  // The text ends at its first zero byte.
  const std::size_t end =
      text.find('\0') == std::string::npos ? text.size() : text.find('\0');
  std::size_t i = 0;
  while (i < end && is_space(text[i])) ++i;
  if (i < end && (text[i] == '+' || text[i] == '-')) {
    parsed.negative = text[i] == '-';
    ++i;
  }
  for (; i < end && is_digit(text[i]); ++i) {
    const auto digit = static_cast<std::uint64_t>(text[i] - '0');
    if (parsed.magnitude > (cap - digit) / 10) {
      parsed.magnitude = cap;  // keep reading digits; the value stays capped
    } else {
      parsed.magnitude = parsed.magnitude * 10 + digit;
    }
  }
  return parsed;
}

}  // namespace

std::string format_decimal_u32(std::uint32_t value) {
  return format_magnitude(value, false);
}

std::string format_decimal_i64(std::int64_t value) {
  // Unsigned arithmetic, so the most negative value has a magnitude too.
  const bool negative = value < 0;
  const std::uint64_t magnitude =
      negative ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
               : static_cast<std::uint64_t>(value);
  return format_magnitude(magnitude, negative);
}

std::uint32_t parse_decimal_u32(const std::string& text) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  const ParsedNumber parsed = parse_magnitude(text, kMax + 1);
  if (parsed.magnitude > kMax) return static_cast<std::uint32_t>(kMax);
  const auto value = static_cast<std::uint32_t>(parsed.magnitude);
  // A minus sign negates modulo 2^32, as strtoul does.
  return parsed.negative ? static_cast<std::uint32_t>(0u - value) : value;
}

std::int64_t parse_decimal_i64(const std::string& text) {
  constexpr std::uint64_t kMax =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const ParsedNumber parsed = parse_magnitude(text, kMax + 2);
  if (parsed.negative) {
    if (parsed.magnitude > kMax)
      return std::numeric_limits<std::int64_t>::min();
    return -static_cast<std::int64_t>(parsed.magnitude);
  }
  if (parsed.magnitude > kMax) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(parsed.magnitude);
}

std::string format_hex_upper(const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex.push_back(kDigits[bytes[i] >> 4]);
    hex.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return hex;
}

std::string upper_case(const std::string& text) {
  std::string result = text;
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  }
  return result;
}

bool is_hex_text(const std::string& text) {
  for (const char c : text) {
    const bool hex =
        is_digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    if (!hex) return false;
  }
  return true;
}

std::string file_name_from_path(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) return path;
  return path.substr(separator + 1);
}

namespace {

// The UTF-8 of the line and paragraph separators (U+2028, U+2029) and of the
// bidirectional embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069): a viewer breaks the line there, or shows what follows in
// another order (U+202E renders the rest of the line reversed).
bool is_layout_control(const std::string& value, std::size_t at) {
  if (value.size() - at < 3 || value[at] != '\xE2') return false;
  const auto second = static_cast<unsigned char>(value[at + 1]);
  const auto third = static_cast<unsigned char>(value[at + 2]);
  return (second == 0x80 && third >= 0xA8 && third <= 0xAE) ||
         (second == 0x81 && third >= 0xA6 && third <= 0xA9);
}

}  // namespace

std::string escape_log_value(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(value.size());
  std::size_t escape_through = 0;  // bytes before this one are escaped too
  for (std::size_t at = 0; at < value.size(); ++at) {
    const auto byte = static_cast<unsigned char>(value[at]);
    if (at >= escape_through && is_layout_control(value, at)) {
      escape_through = at + 3;
    }
    if (at < escape_through || byte < 0x20 || byte == 0x7F || byte == '\\') {
      escaped += "\\x";
      escaped.push_back(kHex[byte >> 4]);
      escaped.push_back(kHex[byte & 0x0F]);
    } else {
      escaped.push_back(value[at]);
    }
  }
  return escaped;
}

}  // namespace vorn
