#include "e2e/e2e_support.h"

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "platform/system.h"
#include "protocol/message_fields.h"

namespace vorn::test {

namespace {

std::string probe_path() {
  return binary_directory() + os::path_separator() +
         executable_name("vorn-guard-probe");
}

std::string next_output_file(const ServiceRun& run) {
  static std::atomic<unsigned> counter{0};
  return run.dir->file("probe-" + std::to_string(++counter) + ".out");
}

unsigned elapsed_since(std::chrono::steady_clock::time_point start) {
  return static_cast<unsigned>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start)
          .count());
}

}  // namespace

std::string read_probe_output(const std::string& path) {
  std::string text = read_file(path);
  std::string normal;
  normal.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    normal.push_back(text[i]);
  }
  return normal;
}

std::string probe_file_name() { return executable_name("vorn-guard-probe"); }

std::string pid_text(unsigned pid) { return format_decimal_u32(pid); }

bool start_probe(const ServiceRun& run, const std::vector<std::string>& arguments,
                 ChildProcess& child, const std::string& output_file) {
  return start_child(child, probe_path(), arguments, client_environment(run),
                     output_file);
}

ProbeResult run_probe(const ServiceRun& run,
                      const std::vector<std::string>& arguments,
                      unsigned timeout_ms) {
  ProbeResult result;
  const std::string output_file = next_output_file(run);
  ChildProcess child;
  const auto start = std::chrono::steady_clock::now();
  if (!start_probe(run, arguments, child, output_file)) return result;
  result.ended = wait_child(child, timeout_ms, result.exit_code);
  result.elapsed_ms = elapsed_since(start);
  release_child(child);
  result.output = read_probe_output(output_file);
  return result;
}

bool wait_for_log(const ServiceRun& run,
                  const std::function<bool(const std::string&)>& match,
                  unsigned timeout_ms) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    for (const std::string& line : service_log_lines(run)) {
      if (match(line)) return true;
    }
    if (elapsed_since(start) > timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool wait_for_log_line(const ServiceRun& run, const std::string& line,
                       unsigned timeout_ms) {
  return wait_for_log(
      run, [&](const std::string& candidate) { return candidate == line; },
      timeout_ms);
}

std::vector<std::string> log_lines_starting(const ServiceRun& run,
                                            const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& line : service_log_lines(run)) {
    if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line);
  }
  return found;
}

std::string check_session_pairs(const std::vector<std::string>& lines) {
  // pid -> enforcement lines seen since its READY; absent when not open.
  std::map<std::string, int> open;
  auto pid_of = [](const std::string& line, const std::string& prefix) {
    std::string rest = line.substr(prefix.size());
    return rest.substr(0, rest.find(' '));
  };
  for (const std::string& line : lines) {
    const std::string ready = "SESSION READY pid=";
    const std::string closed = "SESSION CLOSED pid=";
    const std::string enforcement = "ENFORCEMENT pid=";
    if (line.compare(0, ready.size(), ready) == 0) {
      const std::string pid = pid_of(line, ready);
      if (open.count(pid)) return "second READY before CLOSED: " + line;
      open[pid] = 0;
    } else if (line.compare(0, closed.size(), closed) == 0) {
      const std::string pid = pid_of(line, closed);
      if (!open.count(pid)) return "CLOSED without READY: " + line;
      open.erase(pid);
    } else if (line.compare(0, enforcement.size(), enforcement) == 0) {
      const std::string pid = pid_of(line, enforcement);
      if (!open.count(pid)) return "ENFORCEMENT outside a session: " + line;
      if (++open[pid] > 1) return "second ENFORCEMENT: " + line;
    }
  }
  if (!open.empty()) return "READY without CLOSED for pid " + open.begin()->first;
  return std::string();
}

}  // namespace vorn::test
