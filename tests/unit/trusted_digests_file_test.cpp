// Reading the trusted-digest list through the real OS: found only where the
// log's protected folder is (Windows) or the configured folder (POSIX; the
// same folder here), read only when it changed, refused when it could have
// been written by someone untrusted.
#include <gtest/gtest.h>

#include <string>

#include "platform/system.h"
#include "support/temp_dir.h"
#include "unit/service_log_protection.h"

namespace vorn::test {
namespace {

class TrustedDigestsFileTest : public ServiceLogProtectionFixture {
 protected:
  void SetUp() override {
    ServiceLogProtectionFixture::SetUp();
    set_env("CONFIGURATION_DIRECTORY", log_dir());
  }
  void TearDown() override {
    set_env("CONFIGURATION_DIRECTORY", "", true);
    ServiceLogProtectionFixture::TearDown();
  }

  os::TrustedDigestsFile look(const os::FileIdentity& unchanged = {}) {
    os::Error problem;
    const os::TrustedDigestsFile found =
        os::read_trusted_digests(unchanged, bytes_, identity_, problem);
    problem_ = problem.words();
    return found;
  }

  std::string bytes_, problem_;
  os::FileIdentity identity_;
};

const std::string kLine = std::string(64, 'a') + "  game\n";

TEST_F(TrustedDigestsFileTest, MissingFolderOrFileIsNoList) {
  EXPECT_EQ(look(), os::TrustedDigestsFile::absent);
  EXPECT_FALSE(write_file(join(vorn_dir(), "x"), "")) << "a look made a folder";
  ASSERT_TRUE(
      os::create_log_directories(temp_.path(), {"VORN", "ClientService"}));
  EXPECT_EQ(look(), os::TrustedDigestsFile::absent);
  EXPECT_EQ(os::trusted_digests_path().rfind(log_dir(), 0), 0u);
}

TEST_F(TrustedDigestsFileTest, ReadAgainOnlyWhenChanged) {
  ASSERT_TRUE(
      os::create_log_directories(temp_.path(), {"VORN", "ClientService"}));
  ASSERT_TRUE(write_file(os::trusted_digests_path(), kLine));
  ASSERT_EQ(look(), os::TrustedDigestsFile::read) << problem_;
  EXPECT_EQ(bytes_, kLine);
  const os::FileIdentity first = identity_;
  EXPECT_EQ(look(first), os::TrustedDigestsFile::unchanged);
  ASSERT_TRUE(write_file(os::trusted_digests_path(), kLine + kLine));
  EXPECT_EQ(look(first), os::TrustedDigestsFile::read);
  EXPECT_EQ(bytes_, kLine + kLine);
}

enum class Tamper { larger_than_limit, link, file_writable, folder_writable };

class TrustedDigestsRefusal : public TrustedDigestsFileTest,
                              public ::testing::WithParamInterface<Tamper> {};

TEST_P(TrustedDigestsRefusal, IsUntrusted) {
  ASSERT_TRUE(
      os::create_log_directories(temp_.path(), {"VORN", "ClientService"}));
  const std::string path = os::trusted_digests_path();
  const std::string real = join(temp_.path(), "real-list");
  ASSERT_TRUE(write_file(real, kLine));
  bool staged = true;
  switch (GetParam()) {
    case Tamper::larger_than_limit:
      staged = write_file(path, std::string((1u << 20) + 1, '#'));
      break;
    case Tamper::link:
      staged = plant_file_link(path, real);
      break;
    case Tamper::file_writable:
      staged = write_file(path, kLine) && let_everyone_change(path);
      break;
    case Tamper::folder_writable:
      staged = write_file(path, kLine) && let_everyone_change(log_dir());
      break;
  }
  if (!staged) GTEST_SKIP() << "this system cannot stage it";
  const os::TrustedDigestsFile outcome = look();
  if (GetParam() == Tamper::folder_writable && !others_may_change(log_dir())) {
    // Windows gives a folder with a trusted owner its protection back, as
    // for the log; the list inside is then checked on its own.
    EXPECT_EQ(outcome, os::TrustedDigestsFile::read);
    return;
  }
  EXPECT_EQ(outcome, os::TrustedDigestsFile::untrusted);
  EXPECT_NE(problem_.find(log_dir()), std::string::npos) << problem_;
  EXPECT_TRUE(bytes_.empty());
}

INSTANTIATE_TEST_SUITE_P(Lists, TrustedDigestsRefusal,
                         ::testing::Values(Tamper::larger_than_limit,
                                           Tamper::link, Tamper::file_writable,
                                           Tamper::folder_writable));

}  // namespace
}  // namespace vorn::test
