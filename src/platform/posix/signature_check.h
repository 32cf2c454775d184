// The Ed25519 check of an appended signature (appended_signature.h). A file
// of its own: it brings libcrypto's EVP layer, which the guard module, that
// only hashes (file_hash.cpp), must not carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/error.h"
#include "platform/system.h"

namespace vorn::os::posix {

// Checks a signature from what a file holds after its covered bytes (`tail`,
// `size` bytes: block and trailer, as the one read of the file gave them)
// and the SHA-256 of the covered bytes. None with the signer in `signers`
// when it verifies; else why not, and `signers` empty.
Error check_signature_tail(const std::uint8_t* tail, std::size_t size,
                           const std::uint8_t (&covered_digest)[32],
                           std::vector<Signer>& signers);

// The same over a whole file in memory: none and no signer for a file
// without a signature.
Error check_signed_bytes(const std::uint8_t* bytes, std::size_t size,
                         std::vector<Signer>& signers);

}  // namespace vorn::os::posix
