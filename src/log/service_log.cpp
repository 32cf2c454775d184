#include "log/service_log.h"

#include "platform/platform.h"

namespace vorn {

std::mutex log_mutex;

namespace {

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
  const char sep = os::path_separator();
  const std::string vorn_dir = base + sep + "VORN";
  os::create_directory(vorn_dir);
  const std::string log_dir = vorn_dir + sep + "ClientService";
  os::create_directory(log_dir);
  return log_dir;
}

void log_line(const std::string& message) {
  std::lock_guard<std::mutex> lock(log_mutex);
  // The time is read under the lock, so lines stand in timestamp order.
  const os::LocalTime now = os::local_time_now();
  const std::string path =
      ensure_log_directory() + os::path_separator() + "service.log";

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

  // A line that cannot be written is lost; nobody is told.
  (void)os::append_to_file(path, line);
}

}  // namespace vorn
