// The POSIX side of the service log: where the base directory is, the log's
// directories and file, the local time.
//
// The service runs as root and the log's directories sit where others could
// plant things, so the path is never resolved as a whole: each level is
// opened below the one before with O_NOFOLLOW (openat), and what was opened
// is checked through its descriptor, so nothing can be swapped between the
// check and the use.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/directory_trust.h"
#include "platform/posix/fd_util.h"
#include "platform/system.h"

namespace vorn::os {

namespace {

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kFileMode = 0644;

using posix::os_error;

// The log file must be a plain file with this one name: a second hard link
// would let whoever made it point the appends at a file of their choosing.
// Why not, in words; empty when it is.
std::string log_file_distrust(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return "cannot be examined";
  if (!S_ISREG(status.st_mode)) return "is not a plain file";
  if (status.st_nlink != 1) return "has another name (a hard link)";
  if (!posix::trusted_owner(status.st_uid)) {
    return "is owned by user " + std::to_string(status.st_uid);
  }
  return std::string();
}

// One name inside a directory, never a path: a slash would let openat follow
// links in between.
bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos;
}

// Opens `base` (followed as given: it is the administrator's choice) and each
// level below it, creating missing levels. `directory` ends up holding the
// innermost level; false when a level is missing, a link or untrusted, with
// `problem` saying which and why.
bool open_log_directories(const std::string& base,
                          const std::vector<std::string>& levels,
                          posix::UniqueFd& directory, std::string& problem) {
  directory.reset(posix::retry_on_eintr([&] {
    return ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!directory.valid()) {
    problem = base + ": " + os_error(errno);
    return false;
  }
  std::string path = base;
  for (const std::string& level : levels) {
    if (!plain_name(level)) {
      problem = "bad folder name " + level;
      return false;
    }
    path += '/' + level;
    // Fails harmlessly when the level exists; the checks below decide.
    (void)::mkdirat(directory.get(), level.c_str(), kDirectoryMode);
    const int parent = directory.get();
    posix::UniqueFd next(posix::retry_on_eintr([&] {
      return ::openat(parent, level.c_str(),
                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }));
    if (!next.valid()) {
      problem = path + ": " +
                (errno == ELOOP || errno == ENOTDIR ? "is not a plain directory"
                                                    : os_error(errno));
      return false;
    }
    const std::string distrust = posix::distrust_words(
        posix::directory_trust(next.get()), posix::ModeAdvice::in_parentheses);
    if (!distrust.empty()) {
      problem = path + " " + distrust;
      return false;
    }
    directory.reset(next.release());
  }
  return true;
}

// Opens `name` inside `directory` (AT_FDCWD: a path) for appending:
// O_NOFOLLOW refuses a link in its place and O_NONBLOCK keeps a planted FIFO
// from blocking the open.
posix::UniqueFd open_log_file(int directory, const char* name) {
  return posix::UniqueFd(posix::retry_on_eintr([&] {
    return ::openat(directory, name,
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW |
                        O_NOCTTY | O_NONBLOCK,
                    kFileMode);
  }));
}

// O_APPEND keeps lines of other writers whole. A failed write (disk full)
// may leave the line partial; its error is given.
bool write_all(int fd, const std::string& bytes, std::string& problem) {
  int failure = 0;
  if (posix::write_fully(fd, bytes, failure)) return true;
  problem = failure != 0 ? os_error(failure) : "nothing written";
  return false;
}

// Opens the file, checks it and appends. False when not all was written.
bool append_checked(int directory, const std::string& path, const char* name,
                    const std::string& bytes, std::string& problem) {
  posix::UniqueFd file = open_log_file(directory, name);
  if (!file.valid()) {
    problem =
        path + ": " +
        (errno == ELOOP ? "is a link, not a plain file" : os_error(errno));
    return false;
  }
  const std::string distrust = log_file_distrust(file.get());
  if (!distrust.empty()) {
    problem = path + " " + distrust;
    return false;
  }
  if (!write_all(file.get(), bytes, problem)) {
    problem = path + ": " + problem;
    return false;
  }
  return true;
}

}  // namespace

std::string program_data_directory() {
  // The Windows variable's name is kept, so one setting moves the log on
  // both systems.
  const char* value = std::getenv("ProgramData");
  if (value != nullptr && value[0] != '\0') return value;
  return "/var/log";
}

char path_separator() { return '/'; }

LogLocation log_location() {
  const char* program_data = std::getenv("ProgramData");
  if (program_data == nullptr || program_data[0] == '\0') {
    const std::string logs = posix::systemd_directory("LOGS_DIRECTORY", "");
    if (!logs.empty()) return {logs, {}};
  }
  return {program_data_directory(), {"VORN", "ClientService"}};
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

bool create_log_directories(const std::string& base,
                            const std::vector<std::string>& levels) {
  posix::UniqueFd directory;
  std::string problem;
  return open_log_directories(base, levels, directory, problem);
}

bool append_to_log_file(const std::string& base,
                        const std::vector<std::string>& levels,
                        const std::string& file_name, const std::string& bytes,
                        std::string& problem) {
  posix::UniqueFd directory;
  if (!open_log_directories(base, levels, directory, problem)) return false;
  if (!plain_name(file_name)) {
    problem = "bad file name " + file_name;
    return false;
  }
  std::string path = base;
  for (const std::string& level : levels) path += '/' + level;
  return append_checked(directory.get(), path + '/' + file_name,
                        file_name.c_str(), bytes, problem);
}

}  // namespace vorn::os
