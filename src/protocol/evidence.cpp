#include "protocol/evidence.h"

#include "platform/client.h"

namespace vorn {

bool file_evidence(const std::string& path, std::string& hex) {
  std::uint8_t digest[32] = {};
  if (!os::sha256_file(path, digest)) return false;
  hex = digest_to_hex(digest);
  return true;
}

}  // namespace vorn
