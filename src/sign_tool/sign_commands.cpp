// keygen, sign and verify: what each prints, and its exit code.
#include "sign_tool/sign_commands.h"

#include <cstdio>

#include "sign_tool/signed_file.h"

namespace vorn::sign {

namespace {

void report_failure(const os::Error& error) {
  std::fprintf(stderr, "vorn-guard-sign: %s\n", error.words().c_str());
}

}  // namespace

std::string key_to_hex(const PublicKey& key) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : key) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

bool key_from_hex(const std::string& text, PublicKey& key) {
  if (text.size() != key.size() * 2) return false;
  const auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < key.size(); ++i) {
    const int high = digit(text[2 * i]), low = digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    key[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

int run_keygen(const std::string& key_file, const std::string& name) {
  PublicKey public_key{};
  if (const os::Error error = generate_key_file(key_file, public_key)) {
    report_failure(error);
    return kExitFailed;
  }
  std::printf("publisher ed25519 %s %s\n", key_to_hex(public_key).c_str(),
              name.c_str());
  return kExitOk;
}

int run_sign(const std::string& key_file,
             const std::vector<std::string>& files) {
  SigningKey key;
  if (const os::Error error = load_key_file(key_file, key)) {
    report_failure(error);
    return kExitFailed;
  }
  int exit_code = kExitOk;
  for (const std::string& file : files) {
    if (const os::Error error = sign_file(file, key)) {
      report_failure(error);
      exit_code = kExitFailed;
    } else {
      std::printf("%s: signed by %s\n", file.c_str(),
                  key_to_hex(public_key_of(key)).c_str());
    }
  }
  return exit_code;
}

int run_verify(const std::string& publisher,
               const std::vector<std::string>& files) {
  PublicKey wanted{};
  if (!publisher.empty() && !key_from_hex(publisher, wanted)) {
    std::fprintf(stderr, "vorn-guard-sign: --publisher takes 64 hex digits\n");
    return kExitUsage;
  }
  int exit_code = kExitOk;
  for (const std::string& file : files) {
    std::vector<os::Signer> signers;
    const os::Error error = signers_of_file(file, signers);
    std::string verdict;
    if (error) {
      verdict = error.words();
    } else if (signers.empty()) {
      verdict = "not signed";
    } else if (!publisher.empty() && signers.front().id != wanted) {
      verdict = "signed by " + key_to_hex(signers.front().id) +
                ", not by the publisher " + key_to_hex(wanted);
    } else {
      std::printf("%s: signed by %s\n", file.c_str(),
                  key_to_hex(signers.front().id).c_str());
      continue;
    }
    std::printf("%s: %s\n", file.c_str(), verdict.c_str());
    exit_code = kExitFailed;
  }
  return exit_code;
}

}  // namespace vorn::sign
