// The service log over the real file system: line form, location, directory
// creation, lost lines and many writers. Each test points ProgramData at a
// fresh directory of its own.
#include "log/service_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"
#include "support/temp_dir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr char kVariable[] = "ProgramData";
// "YYYY-MM-DD hh:mm:ss " in front of every message.
constexpr std::size_t kStampLength = 20;

std::string separator() { return std::string(1, os::path_separator()); }

// Splits a log file into its lines; every line must end in CR LF.
std::vector<std::string> lines_of(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t end = content.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "text after the last line end: "
                    << content.substr(start);
      break;
    }
    lines.push_back(content.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// True when the line starts with a well-formed local time; `when` gets it.
bool read_stamp(const std::string& line, std::time_t& when) {
  if (line.size() < kStampLength) return false;
  static const std::regex kStamp(
      R"((\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) )");
  std::smatch parts;
  const std::string stamp = line.substr(0, kStampLength);
  if (!std::regex_match(stamp, parts, kStamp)) return false;
  std::tm fields{};
  fields.tm_year = std::stoi(parts[1].str()) - 1900;
  fields.tm_mon = std::stoi(parts[2].str()) - 1;
  fields.tm_mday = std::stoi(parts[3].str());
  fields.tm_hour = std::stoi(parts[4].str());
  fields.tm_min = std::stoi(parts[5].str());
  fields.tm_sec = std::stoi(parts[6].str());
  fields.tm_isdst = -1;
  if (fields.tm_mon < 0 || fields.tm_mon > 11 || fields.tm_mday < 1 ||
      fields.tm_mday > 31 || fields.tm_hour > 23 || fields.tm_min > 59 ||
      fields.tm_sec > 60) {
    return false;
  }
  when = std::mktime(&fields);
  return when != static_cast<std::time_t>(-1);
}

class ServiceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    const char* old = std::getenv(kVariable);
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    test::set_env(kVariable, temp_.path());
  }

  void TearDown() override {
    if (had_old_) {
      test::set_env(kVariable, old_);
    } else {
      test::set_env(kVariable, "", true);
    }
  }

  std::string vorn_dir() const { return temp_.path() + separator() + "VORN"; }
  std::string log_dir() const {
    return vorn_dir() + separator() + "ClientService";
  }
  std::string log_file() const {
    return log_dir() + separator() + "service.log";
  }

  // Logs one message and checks the one new line it adds, timestamp
  // included.
  void expect_logged_alone(const std::string& message) {
    const std::time_t before = std::time(nullptr);
    log_line(message);
    const std::time_t after = std::time(nullptr);
    const std::string content = test::read_file(log_file());
    ASSERT_EQ(content.size(), kStampLength + message.size() + 2);
    EXPECT_EQ(content.substr(kStampLength), message + "\r\n");
    std::time_t stamp = 0;
    ASSERT_TRUE(read_stamp(content, stamp)) << content;
    // Whole seconds on both sides; a few seconds of slack for slow hosts.
    EXPECT_GE(stamp, before - 2);
    EXPECT_LE(stamp, after + 2);
  }

  test::TempDir temp_;
  bool had_old_ = false;
  std::string old_;
};

TEST_F(ServiceLogTest, LineIsTimestampBlankMessageCrLf) {
  expect_logged_alone("SESSION READY pid=4321 host=client.exe");
}

TEST_F(ServiceLogTest, EmptyMessageGivesTimestampBlankAndLineEnd) {
  expect_logged_alone("");
  const std::string content = test::read_file(log_file());
  ASSERT_EQ(content.size(), 22u);
  EXPECT_EQ(content[19], ' ');
  EXPECT_EQ(content.substr(20), "\r\n");
}

TEST_F(ServiceLogTest, MessageWrittenByteForByte) {
  // No escaping and no length limit; bars, tabs, high bytes and a zero byte
  // go out as they are.
  expect_logged_alone("A|b\tc \xE4\xFF\x01 d\0e"s);
  std::error_code error;
  fs::remove(log_file(), error);
  expect_logged_alone(std::string(10000, 'L') + "END");
}

TEST_F(ServiceLogTest, LogDirectoryIsUnderProgramData) {
  EXPECT_EQ(ensure_log_directory(), log_dir());
  EXPECT_TRUE(fs::is_directory(vorn_dir()));
  EXPECT_TRUE(fs::is_directory(log_dir()));
}

TEST_F(ServiceLogTest, FirstLineCreatesBothDirectoryLevels) {
  ASSERT_FALSE(fs::exists(vorn_dir()));
  log_line("VORN Local Guard Service 1.0.0 ONLINE");
  EXPECT_TRUE(fs::is_directory(vorn_dir()));
  EXPECT_TRUE(fs::is_directory(log_dir()));
  EXPECT_TRUE(fs::is_regular_file(log_file()));
  const std::vector<std::string> lines = lines_of(test::read_file(log_file()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(kStampLength),
            "VORN Local Guard Service 1.0.0 ONLINE");
}

TEST_F(ServiceLogTest, FallbackBaseWhenProgramDataMissingOrEmpty) {
  // Only the chosen base is checked here; nothing is written to the
  // machine's own directories.
  const std::string fallback =
      os::path_separator() == '\\' ? "C:\\ProgramData" : "/var/log";
  test::set_env(kVariable, "", true);
  EXPECT_EQ(os::program_data_directory(), fallback);
  // Windows cannot hold an empty variable; there this is the unset case
  // again.
  test::set_env(kVariable, "");
  EXPECT_EQ(os::program_data_directory(), fallback);
  test::set_env(kVariable, temp_.path());
  EXPECT_EQ(os::program_data_directory(), temp_.path());
}

TEST_F(ServiceLogTest, BaseEndingInSeparatorIsUsedUnchanged) {
  const std::string base = temp_.path() + separator();
  test::set_env(kVariable, base);
  const std::string doubled =
      base + separator() + "VORN" + separator() + "ClientService";
  EXPECT_EQ(ensure_log_directory(), doubled);
  log_line("TRAILING SEPARATOR");
  // Both spellings name the same file.
  const std::vector<std::string> lines = lines_of(test::read_file(log_file()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(kStampLength), "TRAILING SEPARATOR");
  EXPECT_EQ(test::read_file(doubled + separator() + "service.log"),
            test::read_file(log_file()));
}

TEST_F(ServiceLogTest, DeletedLogDirectoryIsCreatedAgain) {
  log_line("BEFORE");
  ASSERT_TRUE(fs::is_regular_file(log_file()));
  std::error_code error;
  fs::remove_all(vorn_dir(), error);
  ASSERT_FALSE(error) << error.message();
  ASSERT_FALSE(fs::exists(vorn_dir()));
  log_line("AFTER");
  const std::vector<std::string> lines = lines_of(test::read_file(log_file()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(kStampLength), "AFTER");
}

TEST_F(ServiceLogTest, UnopenableFileLosesTheLineOnly) {
  // A directory in the file's place makes the open fail on every OS.
  ASSERT_TRUE(fs::create_directories(log_file()));
  log_line("LOST");
  EXPECT_TRUE(fs::is_directory(log_file()));
  EXPECT_TRUE(fs::is_empty(log_file()));
  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(log_dir())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);

  ASSERT_TRUE(fs::remove(log_file()));
  log_line("WRITTEN");
  const std::vector<std::string> lines = lines_of(test::read_file(log_file()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(kStampLength), "WRITTEN");
}

TEST_F(ServiceLogTest, ManyThreadsWriteWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  // Long enough that a torn write would show inside a line.
  const std::string padding(60, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &padding] {
      for (int i = 0; i < kLines; ++i) {
        log_line("THREAD " + std::to_string(t) + " LINE " + std::to_string(i) +
                 " " + padding);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::vector<std::string> lines = lines_of(test::read_file(log_file()));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  const std::regex kBody(R"(THREAD (\d+) LINE (\d+) x{60})");
  std::map<int, int> next_line;  // per thread: the line expected next
  std::time_t previous = 0;
  for (const std::string& line : lines) {
    std::time_t stamp = 0;
    ASSERT_TRUE(read_stamp(line, stamp)) << line;
    // Lines stand in the order of their timestamps.
    EXPECT_GE(stamp, previous);
    previous = stamp;
    std::smatch parts;
    const std::string body = line.substr(kStampLength);
    ASSERT_TRUE(std::regex_match(body, parts, kBody)) << line;
    const int thread = std::stoi(parts[1].str());
    const int index = std::stoi(parts[2].str());
    ASSERT_LT(thread, kThreads);
    EXPECT_EQ(index, next_line[thread]) << "thread " << thread;
    next_line[thread] = index + 1;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next_line[t], kLines);
}

TEST_F(ServiceLogTest, LogLineWaitsForTheLogMutex) {
  std::unique_lock<std::mutex> held(log_mutex);
  std::thread writer([] { log_line("WAITED"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // Not even the file may have been touched while the lock is held.
  EXPECT_FALSE(fs::exists(log_file()));
  held.unlock();
  writer.join();
  const std::vector<std::string> lines = lines_of(test::read_file(log_file()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(kStampLength), "WAITED");
}

TEST_F(ServiceLogTest, FileIsOnlyEverAppendedTo) {
  // What an earlier run left behind, including a line of another program.
  ensure_log_directory();
  ASSERT_TRUE(test::write_file(log_file(), "written before\r\n"));
  log_line("FIRST RUN 1");
  log_line("FIRST RUN 2");
  // A second run of the service starts over from nothing but the file.
  log_line("VORN Local Guard Service 1.0.0 ONLINE");
  log_line("SECOND RUN");
  const std::vector<std::string> lines = lines_of(test::read_file(log_file()));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "written before");
  EXPECT_EQ(lines[1].substr(kStampLength), "FIRST RUN 1");
  EXPECT_EQ(lines[2].substr(kStampLength), "FIRST RUN 2");
  EXPECT_EQ(lines[3].substr(kStampLength),
            "VORN Local Guard Service 1.0.0 ONLINE");
  EXPECT_EQ(lines[4].substr(kStampLength), "SECOND RUN");
}

}  // namespace
}  // namespace vorn
