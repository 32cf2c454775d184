// Cutting protocol messages into fields and writing numbers into them.
// Every operation is a pure function over byte strings; no locale is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

using FieldList = std::vector<std::string>;

// Cuts at every bar; an empty last piece is not a field.
FieldList split_fields(const std::string& message);
bool text_equals(const std::string& a, const std::string& b);

std::string format_decimal_u32(std::uint32_t value);
std::string format_decimal_i64(std::int64_t value);

// Lenient base-10 reading in the manner of strtoul / _strtoi64: the text ends
// at its first zero byte, leading white space and one sign are taken, digits
// are read up to the first non-digit, out-of-range values saturate.
std::uint32_t parse_decimal_u32(const std::string& text);
std::int64_t parse_decimal_i64(const std::string& text);

// Two upper-case hex digits per byte, high digit first.
std::string format_hex_upper(const std::uint8_t* bytes, std::size_t size);

// Only a to z change; bytes above 0x7F stay as they are.
std::string upper_case(const std::string& text);
// 0-9, A-F, a-f; the empty text is hex.
bool is_hex_text(const std::string& text);
// The text after the last backslash or slash.
std::string file_name_from_path(const std::string& path);

// Log values from outside (a file name) with control bytes, DEL, the
// backslash and the bytes of the line separators and bidirectional controls
// (U+2028, U+2029, U+202A-U+202E, U+2066-U+2069) written as \xHH, so that a
// crafted name cannot forge log lines or turn one around on screen. Every
// other byte stays as it is.
std::string escape_log_value(const std::string& value);

}  // namespace vorn
