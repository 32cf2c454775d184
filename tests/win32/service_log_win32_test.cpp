// The Windows side of the log's protection: the DACL the levels are made
// with, and a level with a trusted owner whose DACL lets everyone write (made
// by an installer or an older release) getting the protective DACL again.
#include <filesystem>
#include <string>

#include "log/service_log.h"
#include "support/temp_dir.h"
#include "unit/service_log_protection.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ServiceLogWin32Test : public test::ServiceLogProtectionFixture {};

TEST_F(ServiceLogWin32Test, CreatedLevelsLetOnlyTrustedAccountsChange) {
  log_line("CREATED");
  EXPECT_FALSE(test::others_may_change(vorn_dir()));
  EXPECT_FALSE(test::others_may_change(log_dir()));
  EXPECT_TRUE(contains(test::read_file(log_file()), "CREATED\r\n"));
}

TEST_F(ServiceLogWin32Test, SingleDirectoryIsCreatedProtectedToo) {
  const std::string directory = join(temp_.path(), "single");
  ASSERT_TRUE(os::create_log_directories(temp_.path(), {"single"}));
  ASSERT_TRUE(fs::is_directory(directory));
  EXPECT_FALSE(test::others_may_change(directory));
}

TEST_F(ServiceLogWin32Test, EveryoneMayChangeIsSeenAsSuch) {
  // The helper the repair cases rely on sees a weak DACL.
  ensure_log_directory();
  ASSERT_TRUE(test::let_everyone_change(vorn_dir()));
  EXPECT_TRUE(test::others_may_change(vorn_dir()));
}

class ServiceLogWeakDaclTest : public ServiceLogWin32Test,
                               public ::testing::WithParamInterface<bool> {};

TEST_P(ServiceLogWeakDaclTest, TrustedOwnerWeakDaclIsProtectedAgain) {
  const std::string level = GetParam() ? vorn_dir() : log_dir();
  log_line("BEFORE");
  ASSERT_TRUE(test::let_everyone_change(level));
  ASSERT_TRUE(test::others_may_change(level));

  log_line("AFTER");
  EXPECT_FALSE(test::others_may_change(level));
  const std::string content = test::read_file(log_file());
  EXPECT_TRUE(contains(content, "BEFORE\r\n"));
  EXPECT_TRUE(contains(content, "AFTER\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Levels, ServiceLogWeakDaclTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& tested) {
                           return std::string(tested.param ? "Vorn"
                                                           : "ClientService");
                         });

}  // namespace
}  // namespace vorn
