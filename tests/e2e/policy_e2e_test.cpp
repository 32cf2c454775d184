// The trusted-digest list against the real service: only listed builds are
// admitted, a bad list refuses, a removed list admits again, and a build
// whose line is deleted is ended at a re-check.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"
#include "e2e/service_fixture.h"
#include "e2e/service_log_reader.h"
#include "probe/probe_args.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn::test {
namespace {

class EndToEndPolicy : public ServiceTest<> {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (HasFatalFailure()) return;
    // The probe's two entries, "<digest>  <name>", as an operator would
    // write them with its evidence command.
    const ProbeResult evidence = run_probe(run_, {"evidence"}, 30000);
    ASSERT_EQ(evidence.exit_code, probe::kExitOk) << evidence.output;
    const std::size_t first_end = evidence.output.find('\n');
    image_line_ = evidence.output.substr(0, first_end + 1);
    module_line_ = evidence.output.substr(
        first_end + 1, evidence.output.find('\n', first_end + 1) - first_end);
    ASSERT_EQ(image_line_.size(), 64u + 2u + probe_file_name().size() + 1u);
  }
  void TearDown() override {
    remove_trusted_list(run_);
    ServiceTest::TearDown();
  }

  int status() {
    return run_probe(run_, {"status", "--timeout-ms", "10000"}, 60000)
        .exit_code;
  }

  std::string image_line_, module_line_;
};

TEST_F(EndToEndPolicy, AdmitsOnlyListedBuilds) {
  struct Row {
    const char* name;
    std::string list;
    int exit_code;
  };
  // The probe runs code from system libraries only. Wine reports every file
  // as its user's, so there none is a system file, and the strict policy
  // refuses the probe for the first library it runs.
  const bool strict_admits_probe = !under_wine();
  const std::vector<Row> rows = {
      {"no list", "", probe::kExitOk},
      {"both listed", "# our build\r\n" + image_line_ + module_line_,
       probe::kExitOk},
      {"module not listed", image_line_, probe::kExitRefused},
      {"image not listed", module_line_, probe::kExitRefused},
      {"a bad line", image_line_ + module_line_ + "SHA256 (x) = y\n",
       probe::kExitRefused},
      {"strict code", "strict-code\n" + image_line_ + module_line_,
       strict_admits_probe ? probe::kExitOk : probe::kExitRefused},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.list.empty()) {
      remove_trusted_list(run_);
    } else {
      write_trusted_list(run_, row.list);
    }
    EXPECT_EQ(status(), row.exit_code);
  }
  // A refused HELLO writes nothing to the log.
  EXPECT_EQ(count_starting(service_log_lines(run_), "SESSION READY"),
            strict_admits_probe ? 3u : 2u);
}

TEST_F(EndToEndPolicy, RemovedListKeepsSessionsAndDeletedLineEndsThem) {
  write_trusted_list(run_, image_line_ + module_line_);
  ChildProcess client;
  ASSERT_TRUE(
      start_probe(run_, {"session", "--seconds", "60", "--interval-ms", "1000"},
                  client, run_.dir->file("session.out")));
  ASSERT_TRUE(wait_for_session_ready(run_, client.pid, 30000));
  // No list admits every build: the re-check after this passes.
  remove_trusted_list(run_);
  std::this_thread::sleep_for(std::chrono::seconds(12));
  EXPECT_EQ(lines_naming(service_log_lines(run_), client.pid).size(), 1u);
  // Revoked: the module's line is gone.
  write_trusted_list(run_, image_line_);
  EXPECT_EQ(wait_ended_by_recheck(run_, client), "");
}

}  // namespace
}  // namespace vorn::test
