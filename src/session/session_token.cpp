#include <cstdint>

#include "platform/platform.h"
#include "session/handshake.h"

namespace vorn {

std::string generate_session_token() {
  std::uint8_t bytes[32] = {};
  if (!os::random_bytes(bytes, sizeof bytes)) return std::string();
  static const char kHex[] = "0123456789ABCDEF";
  std::string token;
  token.reserve(64);
  for (const std::uint8_t byte : bytes) {
    token.push_back(kHex[byte >> 4]);
    token.push_back(kHex[byte & 0x0F]);
  }
  return token;
}

}  // namespace vorn
