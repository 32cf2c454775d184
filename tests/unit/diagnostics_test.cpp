// The operator's channel: a problem that repeats at every try is told once
// with its cause, then counted.
#include "log/diagnostics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorn {
namespace {

class RepeatedProblemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_diagnostic_sink([this](DiagnosticLevel level, const std::string& text) {
      lines_.push_back(std::to_string(static_cast<int>(level)) + " " + text);
    });
  }
  void TearDown() override { set_diagnostic_sink(nullptr); }
  std::vector<std::string> lines_;
};

TEST_F(RepeatedProblemTest, ToldOnceThenCountedUntilItGoesAway) {
  RepeatedProblem problem("log broken", "log fine");
  problem.succeeded();
  problem.failed(DiagnosticLevel::error, "disk full");
  problem.failed(DiagnosticLevel::error, "disk full");
  problem.failed(DiagnosticLevel::error, "disk full");
  problem.failed(DiagnosticLevel::error, "folder untrusted");
  problem.succeeded();
  problem.succeeded();
  EXPECT_EQ(lines_, (std::vector<std::string>{
                        "3 log broken: disk full",
                        "4 log broken, 2 more times: disk full",
                        "3 log broken: folder untrusted",
                        "5 log fine",
                    }));
}

}  // namespace
}  // namespace vorn
