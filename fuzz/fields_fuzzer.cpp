// Arbitrary bytes through every field rule, checking the properties the
// handshake and the session loop rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "protocol/message_fields.h"

using vorn::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace vorn;
  const std::string text(reinterpret_cast<const char*>(data), size);

  // Joining the fields with bars gives the message back, but for the one
  // trailing bar whose empty last piece is not a field.
  const FieldList fields = split_fields(text);
  std::string joined;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) joined += '|';
    joined += fields[i];
  }
  if (!text.empty() && text.back() == '|') joined += '|';
  require(joined == text);
  for (const std::string& field : fields) {
    require(field.find('|') == std::string::npos);
  }

  // Formatting the parsed number and parsing it again is stable.
  const std::int64_t sequence = parse_decimal_i64(text);
  require(parse_decimal_i64(format_decimal_i64(sequence)) == sequence);
  const std::uint32_t pid = parse_decimal_u32(text);
  require(parse_decimal_u32(format_decimal_u32(pid)) == pid);

  const std::string upper = upper_case(text);
  require(upper.size() == text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    require(upper[i] < 'a' || upper[i] > 'z');
  }
  require(is_hex_text(text) == is_hex_text(upper));
  require(text_equals(text, text));

  const std::string name = file_name_from_path(text);
  require(name.size() <= text.size());
  require(name.find('/') == std::string::npos &&
          name.find('\\') == std::string::npos);

  const std::string escaped = escape_log_value(text);
  for (const char c : escaped) {
    require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  }
  return 0;
}
