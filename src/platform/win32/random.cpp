#include <windows.h>
// Needs the definitions of windows.h.
#include <bcrypt.h>

#include "platform/runtime.h"

namespace vorn::os {

bool random_bytes(std::uint8_t* buffer, std::size_t size) {
  // BCryptGenRandom takes a ULONG count; larger requests go in pieces.
  constexpr std::size_t kMaxPiece = 0x40000000;
  while (size > 0) {
    const std::size_t piece = size < kMaxPiece ? size : kMaxPiece;
    const NTSTATUS status =
        BCryptGenRandom(nullptr, buffer, static_cast<ULONG>(piece),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status != 0) return false;
    buffer += piece;
    size -= piece;
  }
  return true;
}

}  // namespace vorn::os
