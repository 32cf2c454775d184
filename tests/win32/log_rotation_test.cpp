// The Windows log's own rotation, with a limit of a few lines instead of
// 10 MiB: the numbering, eight old logs kept, no line ever split, and a
// planted file in the series left alone.
#include "platform/win32/log_rotation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "unit/service_log_protection.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

constexpr char kLine[] = "line 00000\r\n";  // 12 bytes, numbered
// A log rotates at the line that finds it at 30 bytes or more: after three.
constexpr std::uint64_t kRotateBytes = 30;

std::string line(int number) {
  std::string text = kLine;
  const std::string digits = std::to_string(number);
  text.replace(10 - digits.size(), digits.size(), digits);
  return text;
}

class LogRotationTest : public ::testing::Test {
 protected:
  bool append(int number, std::string& problem) {
    return os::win32::append_to_rotating_log(
        temp_.path(), {"VORN", "ClientService"}, "service.log", line(number),
        kRotateBytes, os::win32::kLogsKept, problem);
  }
  std::string file(const std::string& name) const {
    return temp_.path() + "\\VORN\\ClientService\\" + name;
  }
  test::TempDir temp_;
};

TEST_F(LogRotationTest, EightOldLogsOfWholeLinesAreKeptInOrder) {
  for (int number = 1; number <= 40; ++number) {
    std::string problem;
    ASSERT_TRUE(append(number, problem)) << problem;
    ASSERT_EQ(problem, "");
  }
  // 40 lines, three to a file: service.log has the last one alone, .1 to
  // .8 the 24 before it, and the 15 oldest are gone.
  std::string expected;
  for (int number = 16; number <= 40; ++number) expected += line(number);
  std::string kept;
  for (int number = 8; number >= 1; --number) {
    const std::string content =
        test::read_file(file("service.log." + std::to_string(number)));
    EXPECT_EQ(content.size(), 3 * sizeof kLine - 3) << number;
    kept += content;
  }
  EXPECT_EQ(kept + test::read_file(file("service.log")), expected);
  EXPECT_FALSE(fs::exists(file("service.log.9")));
}

struct Planting {
  const char* name;
  const char* where;  // the file of the series that is planted
  bool (*plant)(const std::string& path, const std::string& victim);
};

bool hard_link(const std::string& path, const std::string& victim) {
  std::error_code error;
  fs::create_hard_link(victim, path, error);
  return !error;
}

bool foreign_owned(const std::string& path, const std::string& victim) {
  return test::write_file(path, test::read_file(victim)) &&
         test::give_to_untrusted_owner(path);
}

class LogRotationRefusalTest : public LogRotationTest,
                               public ::testing::WithParamInterface<Planting> {
};

TEST_P(LogRotationRefusalTest, PlantedFileIsLeftAloneAndTheLineIsWritten) {
  std::string problem;
  for (int number = 1; number <= 3; ++number)
    ASSERT_TRUE(append(number, problem));
  const std::string victim = temp_.path() + "\\victim.txt";
  ASSERT_TRUE(test::write_file(victim, "not the service's\r\n"));
  if (!GetParam().plant(file(GetParam().where), victim)) {
    GTEST_SKIP() << "cannot plant " << GetParam().name << " here";
  }
  ASSERT_TRUE(append(4, problem));
  EXPECT_NE(problem.find(GetParam().where), std::string::npos) << problem;
  EXPECT_EQ(test::read_file(file("service.log")),
            line(1) + line(2) + line(3) + line(4));
  EXPECT_EQ(test::read_file(file(GetParam().where)), "not the service's\r\n");
  EXPECT_EQ(test::read_file(victim), "not the service's\r\n");
}

INSTANTIATE_TEST_SUITE_P(Plantings, LogRotationRefusalTest,
                         ::testing::Values(Planting{"HardLinkAsTheOldest",
                                                    "service.log.8", hard_link},
                                           Planting{"ForeignOwnedInBetween",
                                                    "service.log.3",
                                                    foreign_owned}),
                         [](const ::testing::TestParamInfo<Planting>& tested) {
                           return std::string(tested.param.name);
                         });

}  // namespace
}  // namespace vorn
