// The appended signature on bytes: signed with the tool's own functions,
// then read as the service reads it.
#include "platform/posix/appended_signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/signature_check.h"
#include "sign_tool/signed_file.h"
#include "support/temp_dir.h"

namespace vorn::sign {
namespace {

using Bytes = std::vector<std::uint8_t>;

SigningKey new_key(const test::TempDir& dir, const std::string& name) {
  PublicKey ignored{};
  SigningKey key;
  EXPECT_FALSE(generate_key_file(dir.file(name), ignored));
  EXPECT_FALSE(load_key_file(dir.file(name), key));
  return key;
}

Bytes signed_by(const SigningKey& key, Bytes bytes) {
  Bytes tail;
  EXPECT_FALSE(signature_tail_for(bytes.data(), bytes.size(), key, tail));
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

TEST(AppendedSignature, SignedBytesNameTheirSignerOrWhyNot) {
  const test::TempDir dir;
  const SigningKey studio = new_key(dir, "studio.pem");
  const SigningKey stranger = new_key(dir, "stranger.pem");
  const Bytes program(5000, 0x7f);
  const Bytes signed_program = signed_by(studio, program);
  const std::size_t tail = os::posix::kSignatureTailBytes;
  const std::size_t end = signed_program.size();

  const auto with = [&](std::size_t at, std::uint8_t value) {
    Bytes bytes = signed_program;
    bytes[at] = value;
    return bytes;
  };
  const std::string malformed = "its signature block is malformed";
  const std::string unverified = "its signature does not verify";
  struct Row {
    const char* name;
    Bytes bytes;
    const SigningKey* signer;  // null: none
    std::string problem;
  };
  const std::vector<Row> rows = {
      {"signed", signed_program, &studio, ""},
      {"other key", signed_by(stranger, program), &stranger, ""},
      {"unsigned", program, nullptr, ""},
      {"patched after signing", with(100, 0x90), nullptr, unverified},
      {"garbage signature", with(end - 30, 0x00), nullptr, unverified},
      {"cut inside the signature",
       Bytes(signed_program.begin(), signed_program.end() - 40), nullptr, ""},
      {"trailer without its block",
       Bytes(signed_program.end() - 27, signed_program.end()), nullptr,
       malformed},
      {"another version", with(end - tail, 2), nullptr, malformed},
      {"another algorithm", with(end - tail + 1, 2), nullptr, malformed},
      {"another length", with(end - 24, 99), nullptr, malformed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<os::Signer> signers;
    const os::Error problem = os::posix::check_signed_bytes(
        row.bytes.data(), row.bytes.size(), signers);
    EXPECT_EQ(problem.words(), row.problem);
    ASSERT_EQ(signers.size(), row.signer != nullptr ? 1u : 0u);
    if (row.signer != nullptr) {
      EXPECT_EQ(signers[0].id, public_key_of(*row.signer));
    }
  }
}

}  // namespace
}  // namespace vorn::sign
