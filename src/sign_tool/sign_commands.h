// The commands of vorn-guard-sign, each returning the tool's exit code.
#pragma once

#include <string>
#include <vector>

#include "sign_tool/signing_key.h"

namespace vorn::sign {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Makes a key in `key_file` and prints the trust-list line naming it.
int run_keygen(const std::string& key_file, const std::string& name);
// Signs each file in place with the key in `key_file`.
int run_sign(const std::string& key_file,
             const std::vector<std::string>& files);
// Prints who signed each file; `publisher` (64 hex digits, or empty)
// names the only key accepted.
int run_verify(const std::string& publisher,
               const std::vector<std::string>& files);

// The 64 lower-case hex digits of a key.
std::string key_to_hex(const PublicKey& key);
// Reads 64 hex digits, either case; false for anything else.
bool key_from_hex(const std::string& text, PublicKey& key);

}  // namespace vorn::sign
