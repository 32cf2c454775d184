// Ed25519 through libcrypto's EVP (pure Ed25519: no pre-hash, no context).
#include "platform/posix/signature_check.h"

#include <openssl/evp.h>

#include <memory>

#include "platform/posix/appended_signature.h"
#include "platform/posix/file_hash.h"

namespace vorn::os::posix {

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

bool ed25519_verifies(const SignatureBlock& block,
                      const std::vector<std::uint8_t>& message) {
  const std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_PKEY_new_raw_public_key(
      EVP_PKEY_ED25519, nullptr, block.public_key.data(),
      block.public_key.size()));
  const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  return key != nullptr && context != nullptr &&
         EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr,
                              key.get()) == 1 &&
         EVP_DigestVerify(context.get(), block.signature.data(),
                          block.signature.size(), message.data(),
                          message.size()) == 1;
}

}  // namespace

Error check_signature_tail(const std::uint8_t* tail, std::size_t size,
                           const std::uint8_t (&covered_digest)[32],
                           std::vector<Signer>& signers) {
  signers.clear();
  // The framing again, from the bytes hashed: the file may have changed
  // since its end was first looked at.
  std::uint64_t covered = 0;
  SignatureBlock block;
  if (find_signature(tail, size, size, covered) != SignatureFraming::present ||
      covered != 0 || !parse_signature_block(tail, block)) {
    return malformed_signature();
  }
  if (!ed25519_verifies(block, signed_message(covered_digest))) {
    return unverified_signature();
  }
  signers.push_back(Signer{SignerKind::ed25519_key, block.public_key});
  return Error();
}

Error check_signed_bytes(const std::uint8_t* bytes, std::size_t size,
                         std::vector<Signer>& signers) {
  signers.clear();
  std::uint64_t covered = 0;
  const std::size_t end =
      size < kSignatureTrailerBytes ? size : kSignatureTrailerBytes;
  switch (find_signature(bytes + size - end, end, size, covered)) {
    case SignatureFraming::none:
      return Error();
    case SignatureFraming::malformed:
      return malformed_signature();
    case SignatureFraming::present:
      break;
  }
  Sha256 hasher;
  std::uint8_t digest[32] = {};
  if (!hasher.update(bytes, covered) || !hasher.finish(digest)) {
    return Error(Errc::no_resources, "cannot hash the signed bytes");
  }
  return check_signature_tail(bytes + covered, size - covered, digest, signers);
}

}  // namespace vorn::os::posix
