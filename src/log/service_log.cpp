#include "log/service_log.h"

#include <vector>

#include "platform/system.h"

namespace vorn {

std::mutex log_mutex;

namespace {

// The log's two directory levels below the base, outermost first, and the
// file in the inner one.
std::vector<std::string> log_levels() { return {"VORN", "ClientService"}; }
constexpr char kLogFileName[] = "service.log";

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
  const std::string base = os::program_data_directory();
  const std::vector<std::string> levels = log_levels();
  // A level refused as planted or untrusted is not reported here; the write
  // refuses it again and the line is lost.
  (void)os::create_log_directories(base, levels);
  std::string path = base;
  for (const std::string& level : levels) {
    path += os::path_separator();
    path += level;
  }
  return path;
}

void log_line(const std::string& message) {
  std::lock_guard<std::mutex> lock(log_mutex);
  // The time is read under the lock, so lines stand in timestamp order.
  const os::LocalTime now = os::local_time_now();
  const std::string base = os::program_data_directory();

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
  // that way, is lost; nobody is told.
  (void)os::append_to_log_file(base, log_levels(), kLogFileName, line);
}

}  // namespace vorn
