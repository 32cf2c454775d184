// The layout of an appended signature: framing, block, what is signed.
#include "platform/posix/appended_signature.h"

#include <cstring>

namespace vorn::os::posix {

namespace {

constexpr char kDomain[] = "vorn-guard-sign v1";  // followed by its NUL

}  // namespace

SignatureFraming find_signature(const std::uint8_t* end_bytes, std::size_t size,
                                std::uint64_t file_size,
                                std::uint64_t& covered) {
  covered = file_size;
  if (size < kSignatureMagicBytes ||
      std::memcmp(end_bytes + size - kSignatureMagicBytes, kSignatureMagic,
                  kSignatureMagicBytes) != 0) {
    return SignatureFraming::none;
  }
  if (size < kSignatureTrailerBytes) return SignatureFraming::malformed;
  const std::uint8_t* length = end_bytes + size - kSignatureTrailerBytes;
  const std::uint32_t block_bytes =
      (std::uint32_t{length[0]} << 24) | (std::uint32_t{length[1]} << 16) |
      (std::uint32_t{length[2]} << 8) | std::uint32_t{length[3]};
  if (block_bytes != kSignatureBlockBytes || file_size < kSignatureTailBytes) {
    return SignatureFraming::malformed;
  }
  covered = file_size - kSignatureTailBytes;
  return SignatureFraming::present;
}

bool parse_signature_block(const std::uint8_t* block, SignatureBlock& parsed) {
  if (block[0] != kSignatureVersion || block[1] != kSignatureEd25519) {
    return false;
  }
  std::memcpy(parsed.public_key.data(), block + 2, parsed.public_key.size());
  std::memcpy(parsed.signature.data(), block + 2 + parsed.public_key.size(),
              parsed.signature.size());
  return true;
}

std::vector<std::uint8_t> signed_message(
    const std::uint8_t (&covered_digest)[32]) {
  std::vector<std::uint8_t> message(kDomain, kDomain + sizeof(kDomain));
  message.insert(message.end(), covered_digest, covered_digest + 32);
  return message;
}

std::vector<std::uint8_t> signature_tail(const SignatureBlock& block) {
  std::vector<std::uint8_t> tail = {kSignatureVersion, kSignatureEd25519};
  tail.insert(tail.end(), block.public_key.begin(), block.public_key.end());
  tail.insert(tail.end(), block.signature.begin(), block.signature.end());
  const auto length = static_cast<std::uint32_t>(kSignatureBlockBytes);
  for (int shift = 24; shift >= 0; shift -= 8) {
    tail.push_back(static_cast<std::uint8_t>(length >> shift));
  }
  tail.insert(tail.end(), kSignatureMagic,
              kSignatureMagic + kSignatureMagicBytes);
  return tail;
}

Error malformed_signature() {
  return Error(Errc::invalid, "its signature block is malformed");
}

Error unverified_signature() {
  return Error(Errc::untrusted, "its signature does not verify");
}

}  // namespace vorn::os::posix
