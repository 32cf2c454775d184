// The service log against someone who plants things where it writes: links
// at either directory level or in place of service.log, a hard link, levels
// or a file owned by an untrusted account. In every case log_line returns as
// usual, nothing reaches the planted target, and once the obstacle is gone
// the next line goes to the real log again.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "log/service_log.h"
#include "support/temp_dir.h"
#include "unit/service_log_protection.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

constexpr char kVictimText[] = "not the service's\r\n";
// "YYYY-MM-DD hh:mm:ss " in front of every message.
constexpr std::size_t kStampLength = 20;

// The messages of a log's lines, without their timestamps.
std::vector<std::string> messages_of(const std::string& content) {
  std::vector<std::string> messages;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t end = content.find("\r\n", start);
    if (end == std::string::npos || end - start < kStampLength) {
      ADD_FAILURE() << "malformed log: " << content;
      break;
    }
    messages.push_back(
        content.substr(start + kStampLength, end - start - kStampLength));
    start = end + 2;
  }
  return messages;
}

// Every entry below `directory`, so a test can tell that nothing was made
// inside a planted target.
std::vector<std::string> entries_below(const std::string& directory) {
  std::vector<std::string> entries;
  std::error_code error;
  for (fs::recursive_directory_iterator it(directory, error), end;
       !error && it != end; it.increment(error)) {
    entries.push_back(it->path().string());
  }
  return entries;
}

class ServiceLogSecurityTest : public test::ServiceLogProtectionFixture {
 protected:
  // A file the attacker wants appended to, with content of its own.
  std::string make_victim(const std::string& path) {
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    EXPECT_TRUE(test::write_file(path, kVictimText)) << path;
    return path;
  }

  std::vector<std::string> logged() const {
    return messages_of(test::read_file(log_file()));
  }
};

TEST_F(ServiceLogSecurityTest,
       NormalPathWritesAndOnlyTrustedAccountsMayChange) {
  log_line("NORMAL");
  EXPECT_EQ(logged(), std::vector<std::string>{"NORMAL"});
  for (const std::string& level : {vorn_dir(), log_dir()}) {
    EXPECT_TRUE(fs::is_directory(level)) << level;
    EXPECT_FALSE(test::is_link(level)) << level;
    EXPECT_FALSE(test::others_may_change(level)) << level;
  }
  EXPECT_FALSE(test::is_link(log_file()));
  EXPECT_TRUE(
      os::create_log_directories(temp_.path(), {"VORN", "ClientService"}));
}

// Which directory level is replaced by a link: VORN, or ClientService.
struct LinkedLevel {
  const char* name;
  bool outer;
};
void PrintTo(const LinkedLevel& level, std::ostream* out) {
  *out << level.name;
}

class ServiceLogLinkedLevelTest
    : public ServiceLogSecurityTest,
      public ::testing::WithParamInterface<LinkedLevel> {
 protected:
  std::string level() const {
    return GetParam().outer ? vorn_dir() : log_dir();
  }
  // Where service.log would land if the link were followed.
  std::string victim_in(const std::string& target) const {
    return GetParam().outer ? join(join(target, "ClientService"), "service.log")
                            : join(target, "service.log");
  }
};

TEST_P(ServiceLogLinkedLevelTest, LinkedLevelIsNotWrittenThrough) {
  log_line("BEFORE");
  std::error_code error;
  fs::remove_all(level(), error);
  ASSERT_FALSE(error) << error.message();
  const std::string victim = make_victim(victim_in(elsewhere()));
  const std::vector<std::string> planted = entries_below(elsewhere());
  if (!test::plant_directory_link(level(), elsewhere())) {
    GTEST_SKIP() << "no directory link can be made here";
  }

  log_line("REDIRECTED");
  EXPECT_EQ(ensure_log_directory(), log_dir());
  EXPECT_FALSE(
      os::create_log_directories(temp_.path(), {"VORN", "ClientService"}));

  EXPECT_EQ(test::read_file(victim), kVictimText);
  EXPECT_EQ(entries_below(elsewhere()), planted);
  EXPECT_TRUE(test::is_link(level()));

  // The obstacle gone, the next line makes the level again and is written.
  ASSERT_TRUE(test::remove_link(level()));
  log_line("AFTER");
  EXPECT_EQ(logged(), std::vector<std::string>{"AFTER"});
  EXPECT_FALSE(test::is_link(level()));
  EXPECT_EQ(test::read_file(victim), kVictimText);
}

TEST_P(ServiceLogLinkedLevelTest, MissingLinkTargetIsNeverCreated) {
  ASSERT_TRUE(fs::create_directories(elsewhere()));
  if (!GetParam().outer) {
    ASSERT_TRUE(fs::create_directories(vorn_dir()));
  }
  const std::string missing = join(elsewhere(), "missing");
  if (!test::plant_directory_link(level(), missing)) {
    GTEST_SKIP() << "no dangling directory link can be made here";
  }

  log_line("REDIRECTED");
  ensure_log_directory();

  EXPECT_FALSE(fs::exists(missing));
  EXPECT_TRUE(entries_below(elsewhere()).empty());
  EXPECT_TRUE(test::remove_link(level()));
}

INSTANTIATE_TEST_SUITE_P(
    Levels, ServiceLogLinkedLevelTest,
    ::testing::Values(LinkedLevel{"Vorn", true},
                      LinkedLevel{"ClientService", false}),
    [](const ::testing::TestParamInfo<LinkedLevel>& tested) {
      return std::string(tested.param.name);
    });

TEST_F(ServiceLogSecurityTest, LinkInPlaceOfTheLogFileIsNotFollowed) {
  ensure_log_directory();
  const std::string victim = make_victim(join(elsewhere(), "victim.txt"));
  if (!test::plant_file_link(log_file(), victim)) {
    GTEST_SKIP() << "no file link can be made here";
  }

  log_line("REDIRECTED");
  EXPECT_EQ(test::read_file(victim), kVictimText);
  EXPECT_TRUE(test::is_link(log_file()));

  ASSERT_TRUE(test::remove_link(log_file()));
  log_line("AFTER");
  EXPECT_EQ(logged(), std::vector<std::string>{"AFTER"});
  EXPECT_EQ(test::read_file(victim), kVictimText);
}

TEST_F(ServiceLogSecurityTest, DanglingLinkInPlaceOfTheLogFileCreatesNothing) {
  ensure_log_directory();
  ASSERT_TRUE(fs::create_directories(elsewhere()));
  const std::string missing = join(elsewhere(), "missing.txt");
  if (!test::plant_file_link(log_file(), missing)) {
    GTEST_SKIP() << "no file link can be made here";
  }
  log_line("REDIRECTED");
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_TRUE(test::is_link(log_file()));
  EXPECT_TRUE(test::remove_link(log_file()));
}

TEST_F(ServiceLogSecurityTest, HardLinkedLogFileIsNotWritten) {
  ensure_log_directory();
  const std::string victim = make_victim(join(elsewhere(), "victim.txt"));
  std::error_code error;
  fs::create_hard_link(victim, log_file(), error);
  ASSERT_FALSE(error) << error.message();

  log_line("REDIRECTED");
  EXPECT_EQ(test::read_file(victim), kVictimText);
  EXPECT_EQ(test::read_file(log_file()), kVictimText);

  ASSERT_TRUE(fs::remove(log_file()));
  log_line("AFTER");
  EXPECT_EQ(logged(), std::vector<std::string>{"AFTER"});
  EXPECT_EQ(test::read_file(victim), kVictimText);
}

// Which part of the path belongs to an untrusted account.
struct ForeignPart {
  const char* name;
  int depth;  // 0: VORN, 1: ClientService, 2: service.log
};
void PrintTo(const ForeignPart& part, std::ostream* out) { *out << part.name; }

class ServiceLogForeignOwnerTest
    : public ServiceLogSecurityTest,
      public ::testing::WithParamInterface<ForeignPart> {
 protected:
  std::string part() const {
    switch (GetParam().depth) {
      case 0:
        return vorn_dir();
      case 1:
        return log_dir();
      default:
        return log_file();
    }
  }
};

TEST_P(ServiceLogForeignOwnerTest, ForeignOwnedPartIsRefused) {
  log_line("BEFORE");
  if (!test::give_to_untrusted_owner(part())) {
    GTEST_SKIP() << "cannot give files to another account here";
  }
  log_line("REFUSED");
  EXPECT_EQ(logged(), std::vector<std::string>{"BEFORE"});
  if (GetParam().depth < 2) {
    EXPECT_FALSE(
        os::create_log_directories(temp_.path(), {"VORN", "ClientService"}));
  }

  // Refused for good: only removing it lets the log go on.
  std::error_code error;
  fs::remove_all(part(), error);
  ASSERT_FALSE(error) << error.message();
  log_line("AFTER");
  EXPECT_EQ(logged(), std::vector<std::string>{"AFTER"});
}

INSTANTIATE_TEST_SUITE_P(
    LogPathLevels, ServiceLogForeignOwnerTest,
    ::testing::Values(ForeignPart{"Vorn", 0}, ForeignPart{"ClientService", 1},
                      ForeignPart{"ServiceLog", 2}),
    [](const ::testing::TestParamInfo<ForeignPart>& tested) {
      return std::string(tested.param.name);
    });

TEST_F(ServiceLogSecurityTest, BaseDirectoryIsNeverCreated) {
  const std::string base = join(temp_.path(), "absent");
  test::set_env(kVariable, base);
  log_line("LOST");
  EXPECT_FALSE(os::create_log_directories(base, {"VORN", "ClientService"}));
  EXPECT_FALSE(fs::exists(base));
}

}  // namespace
}  // namespace vorn
