// The event log side of the diagnostic channel. Wine's event log keeps
// nothing: it hands each text to its "eventlog" debug channel at the level of
// the event's type, which is what can be read here. That the events land in
// the Application log under the registered source, with the service's
// message table, needs a real Windows.
#include <gtest/gtest.h>

#include <string>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vorn::test {
namespace {

TEST(EventLogDiagnostics, EachLevelIsReportedWithItsType) {
  TempDir dir;
  ChildProcess writer;
  ASSERT_TRUE(start_child(writer,
                          binary_directory() + "\\vorn_diagnostic_writer.exe",
                          {}, {{"WINEDEBUG", "warn+eventlog,trace+eventlog"}},
                          "", false, dir.file("stderr.txt")));
  int exit_code = -1;
  ASSERT_TRUE(wait_child(writer, 30000, exit_code));
  release_child(writer);
  EXPECT_EQ(exit_code, 0);
  const std::string seen = read_file(dir.file("stderr.txt"));
  for (const char* expected :
       {"err:eventlog:ReportEventW L\"diagnostic test: error\"",
        "warn:eventlog:ReportEventW L\"diagnostic test: warning\"",
        "trace:eventlog:ReportEventW L\"diagnostic test: information\""}) {
    EXPECT_NE(seen.find(expected), std::string::npos) << expected << "\n"
                                                      << seen;
  }
}

}  // namespace
}  // namespace vorn::test
