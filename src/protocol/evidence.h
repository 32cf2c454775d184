// The evidence values of the HELLO: what the guard module computes for its
// files and what the service compares them with.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/message_fields.h"

namespace vorn {

// Upper-case hex of a SHA-256 digest: 64 digits.
inline std::string digest_to_hex(const std::uint8_t (&digest)[32]) {
  return format_hex_upper(digest, sizeof digest);
}

// The evidence value of one file: the upper-case hex SHA-256 of its
// contents. False when the file cannot be read.
bool file_evidence(const std::string& path, std::string& hex);

}  // namespace vorn
