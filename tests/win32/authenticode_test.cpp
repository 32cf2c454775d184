// The signers of a copy of the probe, signed with osslsigncode as a studio
// would, and spoiled in the ways a client could: only a signature that holds
// over the file's bytes names anyone.
#include "platform/win32/authenticode.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "e2e/test_signing.h"
#include "platform/client.h"
#include "platform/win32/win32_handle.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn::test {
namespace {

std::string sign(const std::string& file) {
  return sign_in_place(file, TestSigner::studio);
}

// One letter of the usage text changed after signing.
std::string sign_then_patch(const std::string& file) {
  const std::string failed = sign(file);
  if (!failed.empty()) return failed;
  std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(stream), {}};
  stream.seekp(static_cast<std::streamoff>(bytes.find("talks to the local")));
  stream.put('T');
  return stream.good() ? "" : "cannot patch " + file;
}

template <SignatureDamage kDamage>
std::string sign_then_spoil(const std::string& file) {
  const std::string failed = sign(file);
  return failed.empty() ? spoil_signature(file, kDamage) : failed;
}

struct SignatureCase {
  const char* name;
  std::string (*prepare)(const std::string& file);
  std::size_t signers;  // the leaf and its CA, the leaf alone, or none
  const char* why_not;  // in signature_problem; "" for none
};

const SignatureCase kCases[] = {
    {"Unsigned", [](const std::string&) { return std::string(); }, 0, ""},
    {"SignedByTheStudio", sign, 2, ""},
    {"SignedByAStranger",
     [](const std::string& file) {
       return sign_in_place(file, TestSigner::stranger);
     },
     1, ""},
    {"PatchedAfterSigning", sign_then_patch, 0, "does not match"},
    {"SignatureCutShort", sign_then_spoil<SignatureDamage::truncated>, 0,
     "malformed"},
    {"SignatureOverwritten", sign_then_spoil<SignatureDamage::garbage>, 0,
     "malformed"},
};

class AuthenticodeSigners : public testing::TestWithParam<SignatureCase> {};

TEST_P(AuthenticodeSigners, NameOnlyASignatureThatHolds) {
  const TempDir dir;
  const std::string file = dir.file("client.exe");
  std::filesystem::copy_file(binary_directory() + "\\vorn-guard-probe.exe",
                             file);
  ASSERT_EQ(GetParam().prepare(file), "");
  std::uint8_t digest[32];
  ASSERT_TRUE(os::sha256_file(file, digest));
  const os::win32::UniqueHandle open(CreateFileA(file.c_str(), GENERIC_READ,
                                                 FILE_SHARE_READ, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(open.valid());

  os::Error problem;
  const std::vector<os::Signer> signers = os::win32::authenticode_signers(
      open.get(), std::wstring(file.begin(), file.end()), digest, problem);

  ASSERT_EQ(signers.size(), GetParam().signers) << problem.words();
  EXPECT_NE(problem.words().find(GetParam().why_not), std::string::npos)
      << problem.words();
  EXPECT_EQ(static_cast<bool>(problem), *GetParam().why_not != '\0');
  if (GetParam().signers == 2) {
    // The CA, which the studio's publisher line names.
    char hex[65] = {};
    for (std::size_t i = 0; i < 32; ++i) {
      std::snprintf(hex + 2 * i, 3, "%02x", signers[1].id[i]);
    }
    EXPECT_NE(publisher_line(TestSigner::studio).find(hex), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, AuthenticodeSigners, testing::ValuesIn(kCases),
                         [](const auto& param) { return param.param.name; });

}  // namespace
}  // namespace vorn::test
