#include "e2e/service_log_reader.h"

#include <chrono>
#include <map>
#include <thread>

#include "protocol/message_fields.h"
#include "support/patience.h"

namespace vorn::test {

namespace {

const std::string kReady = "SESSION READY pid=";
const std::string kClosed = "SESSION CLOSED pid=";
const std::string kEnforcement = "ENFORCEMENT pid=";

bool starts_with(const std::string& line, const std::string& prefix) {
  return line.compare(0, prefix.size(), prefix) == 0;
}

std::string pid_after(const std::string& line, const std::string& prefix) {
  const std::string rest = line.substr(prefix.size());
  return rest.substr(0, rest.find(' '));
}

// Polls `done` every `step_ms` until it holds or idle_ms, stretched by
// patient_ms, have passed.
bool wait_until(const std::function<bool()>& done, unsigned idle_ms,
                unsigned step_ms) {
  const unsigned timeout_ms = patient_ms(idle_ms);
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() - start >
        std::chrono::milliseconds(timeout_ms)) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
}

}  // namespace

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

std::string raw_log_since_start(const ServiceRun& run) {
  std::string text;
  for (std::size_t i = 0; i < run.log_paths.size(); ++i) {
    const std::string content = read_file(run.log_paths[i]);
    if (content.size() > run.log_offsets[i]) {
      text += content.substr(run.log_offsets[i]);
    }
  }
  return text;
}

bool wait_for_log(const ServiceRun& run,
                  const std::function<bool(const std::string&)>& match,
                  unsigned timeout_ms) {
  return wait_until(
      [&] {
        for (const std::string& line : service_log_lines(run)) {
          if (match(line)) return true;
        }
        return false;
      },
      timeout_ms, 50);
}

bool wait_for_log_line(const ServiceRun& run, const std::string& line,
                       unsigned timeout_ms) {
  return wait_for_log(
      run, [&](const std::string& candidate) { return candidate == line; },
      timeout_ms);
}

bool wait_for_session_ready(const ServiceRun& run, unsigned pid,
                            unsigned timeout_ms) {
  const std::string start = "SESSION READY pid=" + std::to_string(pid) + " ";
  return wait_for_log(
      run, [&](const std::string& line) { return line.rfind(start, 0) == 0; },
      timeout_ms);
}

std::vector<std::string> lines_naming(const std::vector<std::string>& lines,
                                      unsigned pid) {
  const std::string key = "pid=" + format_decimal_u32(pid);
  std::vector<std::string> found;
  for (const std::string& line : lines) {
    const std::size_t at = line.find(key);
    const std::size_t end = at + key.size();
    if (at != std::string::npos && (end == line.size() || line[end] == ' ')) {
      found.push_back(line);
    }
  }
  return found;
}

std::size_t count_starting(const std::vector<std::string>& lines,
                           const std::string& prefix) {
  std::size_t count = 0;
  for (const std::string& line : lines) {
    if (starts_with(line, prefix)) ++count;
  }
  return count;
}

std::string check_session_pairs(const std::vector<std::string>& lines) {
  // pid -> enforcement lines seen since its READY; absent when not open.
  std::map<std::string, int> open;
  for (const std::string& line : lines) {
    if (starts_with(line, kReady)) {
      const std::string pid = pid_after(line, kReady);
      if (open.count(pid)) return "second READY before CLOSED: " + line;
      open[pid] = 0;
    } else if (starts_with(line, kClosed)) {
      const std::string pid = pid_after(line, kClosed);
      if (!open.count(pid)) return "CLOSED without READY: " + line;
      open.erase(pid);
    } else if (starts_with(line, kEnforcement)) {
      const std::string pid = pid_after(line, kEnforcement);
      if (!open.count(pid)) return "ENFORCEMENT outside a session: " + line;
      if (++open[pid] > 1) return "second ENFORCEMENT: " + line;
    }
  }
  if (!open.empty())
    return "READY without CLOSED for pid " + open.begin()->first;
  return std::string();
}

std::string check_session_balance(const std::vector<std::string>& lines,
                                  unsigned shared_pid) {
  const std::string shared = format_decimal_u32(shared_pid);
  std::vector<std::string> others;
  long open = 0;
  for (const std::string& line : lines) {
    std::string pid;
    if (starts_with(line, kReady)) {
      pid = pid_after(line, kReady);
      if (pid == shared) ++open;
    } else if (starts_with(line, kClosed)) {
      pid = pid_after(line, kClosed);
      if (pid == shared && --open < 0) return "CLOSED without READY: " + line;
    } else if (starts_with(line, kEnforcement)) {
      pid = pid_after(line, kEnforcement);
      if (pid == shared) return "ENFORCEMENT against the test process: " + line;
    }
    if (pid != shared) others.push_back(line);
  }
  if (open != 0) {
    return std::to_string(open) + " READY without CLOSED for the test process";
  }
  return check_session_pairs(others);
}

bool wait_sessions_closed(const ServiceRun& run, unsigned shared_pid,
                          unsigned timeout_ms) {
  return wait_until(
      [&] {
        const std::vector<std::string> lines = service_log_lines(run);
        return count_starting(lines, kReady) ==
                   count_starting(lines, kClosed) &&
               check_session_balance(lines, shared_pid).empty();
      },
      timeout_ms, 100);
}

}  // namespace vorn::test
