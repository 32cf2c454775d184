#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/platform.h"
#include "platform/posix/fd_util.h"

namespace vorn::os {

std::string program_data_directory() {
  // The Windows variable's name is kept, so one setting moves the log on
  // both systems.
  const char* value = std::getenv("ProgramData");
  if (value != nullptr && value[0] != '\0') return value;
  return "/var/log";
}

char path_separator() { return '/'; }

void create_directory(const std::string& path) {
  // Fails harmlessly when it exists; any other failure shows as a lost line.
  (void)::mkdir(path.c_str(), 0755);
}

LocalTime local_time_now() {
  const time_t now = ::time(nullptr);
  tm parts{};
  LocalTime local;
  if (::localtime_r(&now, &parts) == nullptr) return local;
  local.year = parts.tm_year + 1900;
  local.month = parts.tm_mon + 1;
  local.day = parts.tm_mday;
  local.hour = parts.tm_hour;
  local.minute = parts.tm_min;
  local.second = parts.tm_sec;
  return local;
}

bool append_to_file(const std::string& path, const std::string& bytes) {
  // O_APPEND keeps lines of other writers whole; O_NOFOLLOW refuses a link
  // planted in place of the log.
  posix::UniqueFd fd(posix::retry_on_eintr([&] {
    return ::open(path.c_str(),
                  O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  }));
  if (!fd.valid()) return false;
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = posix::retry_on_eintr([&] {
      return ::write(fd.get(), bytes.data() + written, bytes.size() - written);
    });
    if (count <= 0) return false;
    written += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace vorn::os
