#include "log/service_log.h"

#include <vector>

#include "log/diagnostics.h"
#include "platform/system.h"

namespace vorn {

std::mutex log_mutex;

namespace {

constexpr char kLogFileName[] = "service.log";

// Guarded by log_mutex.
RepeatedProblem& unwritable_log() {
  static RepeatedProblem problem("service.log cannot be written",
                                 "service.log is written again");
  return problem;
}

// A rotation that was due but refused (Windows, which rotates the log
// itself); the lines still go to the log. Guarded by log_mutex.
RepeatedProblem& unrotatable_log() {
  static RepeatedProblem problem("service.log is not rotated",
                                 "service.log is rotated again");
  return problem;
}

// Appends `value` padded on the left with '0' to at least `width` digits.
void append_padded(std::string& out, int value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) out.append(width - digits.size(), '0');
  out += digits;
}

}  // namespace

std::string ensure_log_directory() {
  // Nothing is cached: a directory deleted while the service runs comes back
  // with the next line.
  const os::LogLocation location = os::log_location();
  // A level refused as planted or untrusted is not reported here; the write
  // refuses it again and says why.
  (void)os::create_log_directories(location.base, location.levels);
  std::string path = location.base;
  for (const std::string& level : location.levels) {
    path += os::path_separator();
    path += level;
  }
  return path;
}

void log_line(const std::string& message) {
  std::lock_guard<std::mutex> lock(log_mutex);
  // The time is read under the lock, so lines stand in timestamp order.
  const os::LocalTime now = os::local_time_now();
  const os::LogLocation location = os::log_location();

  std::string line;
  line.reserve(22 + message.size());
  append_padded(line, now.year, 4);
  line += '-';
  append_padded(line, now.month, 2);
  line += '-';
  append_padded(line, now.day, 2);
  line += ' ';
  append_padded(line, now.hour, 2);
  line += ':';
  append_padded(line, now.minute, 2);
  line += ':';
  append_padded(line, now.second, 2);
  line += ' ';
  line += message;
  // CR LF written out, so the bytes equal a text-mode write on every OS.
  line += "\r\n";

  // The platform creates the directory levels as ensure_log_directory does,
  // walking them one by one so that a link planted at a level or in place of
  // the file is never followed. A line that cannot be written, or is refused
  // that way, is lost; the operator's channel says why, once.
  os::Error rotation;
  const os::Error failed = os::append_to_log_file(
      location.base, location.levels, kLogFileName, line, rotation);
  if (failed) {
    unwritable_log().failed(DiagnosticLevel::error, failed.words());
    return;
  }
  unwritable_log().succeeded();
  if (rotation) {
    unrotatable_log().failed(DiagnosticLevel::warning, rotation.words());
  } else {
    unrotatable_log().succeeded();
  }
}

std::string log_file_path() {
  const os::LogLocation location = os::log_location();
  std::string path = location.base;
  for (const std::string& level : location.levels) {
    path += os::path_separator();
    path += level;
  }
  return path + os::path_separator() + kLogFileName;
}

}  // namespace vorn
