// The common frame of the handshake, session loop and enforcement tests: a
// fresh fake world and integrity check, and a real service.log in a private
// ProgramData directory that the tests read back.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fakes/fake_integrity.h"
#include "fakes/fake_runtime.h"
#include "platform/runtime.h"
#include "platform/system.h"
#include "support/temp_dir.h"

namespace vorn::fake {

// Readable names in gtest failure messages.
inline void PrintTo(Call call, std::ostream* os) {
  static const char* const kNames[] = {
      "pipe_client_pid",    "pipe_read",     "pipe_write",
      "pipe_bytes_waiting", "pipe_flush",    "pipe_disconnect",
      "pipe_close",         "process_open",  "process_is_running",
      "process_terminate",  "process_close", "random_bytes"};
  *os << kNames[static_cast<int>(call)];
}

// Names parameterised cases after their `name` member.
struct CaseName {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& c) const {
    return c.param.name;
  }
};

// "YYYY-MM-DD hh:mm:ss " in front of every logged message.
constexpr std::size_t kTimestampLength = 20;

inline bool is_timestamp(const std::string& prefix) {
  static const char kPattern[] = "dddd-dd-dd dd:dd:dd ";
  if (prefix.size() != kTimestampLength) return false;
  for (std::size_t i = 0; i < kTimestampLength; ++i) {
    const unsigned char c = static_cast<unsigned char>(prefix[i]);
    if (kPattern[i] == 'd' ? !std::isdigit(c) : c != kPattern[i]) return false;
  }
  return true;
}

class FakeSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_world();
    reset_integrity();
    program_data_ = std::make_unique<test::TempDir>();
    ASSERT_FALSE(program_data_->path().empty());
    test::set_env("ProgramData", program_data_->path());
    const std::string sep(1, os::path_separator());
    log_path_ = program_data_->path() + sep + "VORN" + sep + "ClientService" +
                sep + "service.log";
    world().log_path = log_path_;
  }

  void TearDown() override {
    world().log_path.clear();
    test::set_env("ProgramData", "", true);
    program_data_.reset();
  }

  // The messages of service.log without their timestamps. Every line must
  // be a timestamp, the message and CR LF.
  std::vector<std::string> log_messages() const {
    std::vector<std::string> messages;
    const std::string text = test::read_file(log_path_);
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      if (end == std::string::npos) {
        ADD_FAILURE() << "log ends without a line end";
        break;
      }
      std::string line = text.substr(start, end - start);
      start = end + 1;
      if (line.empty() || line.back() != '\r') {
        ADD_FAILURE() << "log line without CR LF: " << line;
      } else {
        line.pop_back();
      }
      if (line.size() < kTimestampLength ||
          !is_timestamp(line.substr(0, kTimestampLength))) {
        ADD_FAILURE() << "log line without timestamp: " << line;
        messages.push_back(line);
      } else {
        messages.push_back(line.substr(kTimestampLength));
      }
    }
    return messages;
  }

  // Exactly one release of the pipe: flush, disconnect, close, in order.
  static void expect_channel_closed_once() {
    EXPECT_EQ(calls_among(
                  {Call::pipe_flush, Call::pipe_disconnect, Call::pipe_close}),
              (std::vector<Call>{Call::pipe_flush, Call::pipe_disconnect,
                                 Call::pipe_close}));
  }

  static void expect_own_handles_only() {
    EXPECT_EQ(world().pipe.foreign_handle_calls, 0);
    EXPECT_EQ(world().process.foreign_handle_calls, 0);
  }

  std::unique_ptr<test::TempDir> program_data_;
  std::string log_path_;
};

}  // namespace vorn::fake
