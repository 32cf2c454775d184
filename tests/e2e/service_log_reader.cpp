// Reading what the service logged during one run.
#include <cstddef>

#include "e2e/service_harness.h"

namespace vorn::test {

std::vector<std::string> service_log_lines(const ServiceRun& run) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < run.log_paths.size(); ++i) {
    const std::string content = read_file(run.log_paths[i]);
    if (content.size() <= run.log_offsets[i]) continue;
    std::size_t start = run.log_offsets[i];
    while (start < content.size()) {
      const std::size_t end = content.find("\r\n", start);
      if (end == std::string::npos) break;  // a line still being written
      // "YYYY-MM-DD hh:mm:ss " is 20 bytes.
      const std::string line = content.substr(start, end - start);
      lines.push_back(line.size() >= 20 ? line.substr(20) : line);
      start = end + 2;
    }
  }
  return lines;
}

}  // namespace vorn::test
