// The Linux side of the log's protection: the modes it creates, levels that
// group or others may write, a FIFO in place of the file, a base directory
// that is a link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <ostream>
#include <string>

#include "log/service_log.h"
#include "support/temp_dir.h"
#include "unit/service_log_protection.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

mode_t mode_of(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return 0;
  return status.st_mode & 07777;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ServiceLogPosixTest : public test::ServiceLogProtectionFixture {};

TEST_F(ServiceLogPosixTest, LevelsAre0755AndFile0644WhateverTheUmask) {
  // With no umask the modes are exactly what the service asks for.
  const mode_t old_mask = ::umask(0);
  log_line("CREATED");
  ::umask(old_mask);
  EXPECT_EQ(mode_of(vorn_dir()), 0755u);
  EXPECT_EQ(mode_of(log_dir()), 0755u);
  EXPECT_EQ(mode_of(log_file()), 0644u);
  EXPECT_TRUE(contains(test::read_file(log_file()), "CREATED\r\n"));
}

// A level that group or others may write, and how.
struct WritableLevel {
  const char* name;
  bool outer;
  mode_t mode;
};
void PrintTo(const WritableLevel& level, std::ostream* out) {
  *out << level.name;
}

class ServiceLogWritableLevelTest
    : public ServiceLogPosixTest,
      public ::testing::WithParamInterface<WritableLevel> {};

TEST_P(ServiceLogWritableLevelTest, LevelOthersMayWriteIsRefusedNotRepaired) {
  const std::string level = GetParam().outer ? vorn_dir() : log_dir();
  log_line("BEFORE");
  ASSERT_EQ(::chmod(level.c_str(), GetParam().mode), 0);

  log_line("REFUSED");
  EXPECT_FALSE(contains(test::read_file(log_file()), "REFUSED"));
  EXPECT_FALSE(
      os::create_log_directories(temp_.path(), {"VORN", "ClientService"}));
  // Left as it is: whoever could write it may have planted something.
  EXPECT_EQ(mode_of(level), GetParam().mode);

  ASSERT_EQ(::chmod(level.c_str(), 0755), 0);
  log_line("AFTER");
  const std::string content = test::read_file(log_file());
  EXPECT_TRUE(contains(content, "BEFORE\r\n"));
  EXPECT_TRUE(contains(content, "AFTER\r\n"));
  EXPECT_FALSE(contains(content, "REFUSED"));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ServiceLogWritableLevelTest,
    ::testing::Values(WritableLevel{"VornGroup", true, 0775},
                      WritableLevel{"VornOthers", true, 0757},
                      WritableLevel{"VornEveryone", true, 0777},
                      WritableLevel{"VornStickyEveryone", true, 01777},
                      WritableLevel{"ClientServiceGroup", false, 0775},
                      WritableLevel{"ClientServiceOthers", false, 0757},
                      WritableLevel{"ClientServiceEveryone", false, 0777}),
    [](const ::testing::TestParamInfo<WritableLevel>& tested) {
      return std::string(tested.param.name);
    });

TEST_F(ServiceLogPosixTest, WritableByOthersMeansOthersMayChange) {
  // The helper the shared tests rely on sees what the service refuses.
  ensure_log_directory();
  EXPECT_FALSE(test::others_may_change(vorn_dir()));
  ASSERT_TRUE(test::let_everyone_change(vorn_dir()));
  EXPECT_TRUE(test::others_may_change(vorn_dir()));
}

TEST_F(ServiceLogPosixTest, FifoInPlaceOfTheLogFileDoesNotBlock) {
  ensure_log_directory();
  ASSERT_EQ(::mkfifo(log_file().c_str(), 0644), 0);
  std::future<void> writer =
      std::async(std::launch::async, [] { log_line("INTO A FIFO"); });
  if (writer.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    // Let the blocked open finish, so the thread can end.
    const int reader = ::open(log_file().c_str(), O_RDONLY | O_NONBLOCK);
    writer.wait();
    if (reader >= 0) ::close(reader);
    FAIL() << "log_line blocked on a FIFO in place of the log file";
  }
  EXPECT_TRUE(fs::is_fifo(log_file()));
}

TEST_F(ServiceLogPosixTest, BaseDirectoryThatIsALinkIsFollowed) {
  // The base is the administrator's choice (ProgramData, /var/log) and is
  // used as given; only the levels below it are the log's own.
  const std::string real = join(temp_.path(), "real");
  const std::string link = join(temp_.path(), "base-link");
  ASSERT_TRUE(fs::create_directories(real));
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  test::set_env(kVariable, link);
  log_line("THROUGH THE BASE LINK");
  EXPECT_TRUE(
      contains(test::read_file(join(join(join(real, "VORN"), "ClientService"),
                                    "service.log")),
               "THROUGH THE BASE LINK\r\n"));
}

TEST_F(ServiceLogPosixTest, SecondNameBesideTheLogIsRefusedToo) {
  // A hard link made inside the log directory itself (by root, say, for a
  // copy) also stops the appends until it is gone.
  log_line("BEFORE");
  const std::string second = join(log_dir(), "copy.log");
  ASSERT_EQ(::link(log_file().c_str(), second.c_str()), 0);
  log_line("REFUSED");
  EXPECT_FALSE(contains(test::read_file(log_file()), "REFUSED"));
  ASSERT_EQ(::unlink(second.c_str()), 0);
  log_line("AFTER");
  EXPECT_TRUE(contains(test::read_file(log_file()), "AFTER\r\n"));
}

}  // namespace
}  // namespace vorn
