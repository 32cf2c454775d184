// The signature a Linux client file carries at its end, the way kernel
// modules carry theirs: `covered bytes || block || trailer`. An ELF file runs
// unchanged with bytes after its last section, so a signed game is the same
// program. The layout only: no OpenSSL here, so both the service and the
// signing tool read it (the Ed25519 check is in signature_check.h).
//
//   block (98 bytes)  version u8 = 1, algorithm u8 = 1 (Ed25519),
//                     the Ed25519 public key (32), the signature (64)
//   trailer (27)      the block's length as u32 big-endian, then the magic
//                     text "~VORN guard signature~\n"
//
// The signature is pure Ed25519 over "vorn-guard-sign v1", a NUL, and the
// SHA-256 of the covered bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/error.h"

namespace vorn::os::posix {

constexpr std::uint8_t kSignatureVersion = 1;
constexpr std::uint8_t kSignatureEd25519 = 1;
constexpr std::size_t kSignatureBlockBytes = 2 + 32 + 64;
constexpr char kSignatureMagic[] = "~VORN guard signature~\n";
constexpr std::size_t kSignatureMagicBytes = sizeof(kSignatureMagic) - 1;
constexpr std::size_t kSignatureTrailerBytes = 4 + kSignatureMagicBytes;
// Everything a signature adds to a file.
constexpr std::size_t kSignatureTailBytes =
    kSignatureBlockBytes + kSignatureTrailerBytes;

struct SignatureBlock {
  std::array<std::uint8_t, 32> public_key{};
  std::array<std::uint8_t, 64> signature{};
};

enum class SignatureFraming {
  none,       // no magic at the end: an unsigned file
  malformed,  // the magic, but no sound block before it
  present     // a block of the right length fits before the trailer
};

// Where the signature of a file of `file_size` bytes would begin, from its
// last `size` bytes at `end_bytes` (fewer than kSignatureTrailerBytes only
// when the file is that short). `covered` is the count of bytes signed.
SignatureFraming find_signature(const std::uint8_t* end_bytes, std::size_t size,
                                std::uint64_t file_size,
                                std::uint64_t& covered);

// The block at `block` (kSignatureBlockBytes): false for another version or
// algorithm.
bool parse_signature_block(const std::uint8_t* block, SignatureBlock& parsed);

// What the Ed25519 signature is made over.
std::vector<std::uint8_t> signed_message(
    const std::uint8_t (&covered_digest)[32]);

// The block and trailer to append after the covered bytes.
std::vector<std::uint8_t> signature_tail(const SignatureBlock& block);

// Why a signature a file carries does not hold.
Error malformed_signature();
Error unverified_signature();

}  // namespace vorn::os::posix
