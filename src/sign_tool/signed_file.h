// Signing a file in place and reading who signed one, with the layout of
// platform/posix/appended_signature.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/system.h"
#include "sign_tool/signing_key.h"

namespace vorn::sign {

// The block and trailer that sign `covered` bytes with `key`.
os::Error signature_tail_for(const std::uint8_t* covered, std::size_t size,
                             const SigningKey& key,
                             std::vector<std::uint8_t>& tail);

// Appends a signature by `key` to the file at `path`, replacing one it
// carries: the signed file is written beside it with the same mode and
// renamed over it, so a reader sees the old file or the new one, whole.
os::Error sign_file(const std::string& path, const SigningKey& key);

// Who signed the file at `path`: none and no signer for an unsigned file,
// else why its signature does not hold or the file cannot be read (the
// words name no path).
os::Error signers_of_file(const std::string& path,
                          std::vector<os::Signer>& signers);

}  // namespace vorn::sign
