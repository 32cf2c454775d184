// The Windows log's own rotation, with a limit of a few lines instead of
// 10 MiB: the numbering, eight old logs kept, no line ever split, and a
// planted file in the series left alone.
#include "platform/win32/log_rotation.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

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
  // The write's failure, else a refused rotation, in words.
  bool append(int number, std::string& problem) {
    os::Error rotation;
    const os::Error failed = os::win32::append_to_rotating_log(
        temp_.path(), {"VORN", "ClientService"}, "service.log", line(number),
        kRotateBytes, os::win32::kLogsKept, rotation);
    problem = failed ? failed.words() : rotation.words();
    return !failed;
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

TEST_F(LogRotationTest, PlantedFileIsLeftAloneAndTheLineIsWritten) {
  // A hard link as service.log.8 (the file the rotation would delete); the
  // other refusals (a link, an untrusted owner) go through the same check
  // as service.log itself, tested with the log's protection.
  std::string problem;
  for (int number = 1; number <= 3; ++number)
    ASSERT_TRUE(append(number, problem));
  const std::string victim = temp_.path() + "\\victim.txt";
  ASSERT_TRUE(test::write_file(victim, "not the service's"));
  std::error_code error;
  fs::create_hard_link(victim, file("service.log.8"), error);
  ASSERT_FALSE(error) << error.message();
  ASSERT_TRUE(append(4, problem));
  EXPECT_NE(problem.find("service.log.8 has another name"), std::string::npos)
      << problem;
  EXPECT_EQ(test::read_file(file("service.log")),
            line(1) + line(2) + line(3) + line(4));
  EXPECT_EQ(test::read_file(victim), "not the service's");
}

}  // namespace
}  // namespace vorn
