// A publisher's Ed25519 signing key: made once and kept in a PEM file that
// only its owner may read, then loaded for every signing.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"

namespace vorn::sign {

struct KeyFree {
  void operator()(EVP_PKEY* key) const;
};
using SigningKey = std::unique_ptr<EVP_PKEY, KeyFree>;

using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

// Makes a new key and writes it to `path` (PKCS#8 PEM, mode 0600). Never
// replaces a file that is already there.
os::Error generate_key_file(const std::string& path, PublicKey& public_key);

// Reads an Ed25519 private key written by generate_key_file (or openssl
// genpkey -algorithm ed25519).
os::Error load_key_file(const std::string& path, SigningKey& key);

PublicKey public_key_of(const SigningKey& key);

// Pure Ed25519 over `message`.
os::Error sign_message(const SigningKey& key,
                       const std::vector<std::uint8_t>& message,
                       Signature& signature);

}  // namespace vorn::sign
