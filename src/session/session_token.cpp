#include <cstdint>

#include "platform/runtime.h"
#include "protocol/message_fields.h"
#include "protocol/rules.h"
#include "session/handshake.h"

namespace vorn {

std::string generate_session_token() {
  std::uint8_t bytes[kTokenDigits / 2] = {};
  if (!os::random_bytes(bytes, sizeof bytes)) return std::string();
  return format_hex_upper(bytes, sizeof bytes);
}

}  // namespace vorn
