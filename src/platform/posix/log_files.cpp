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

// The log file must be a plain file with this one name: a second hard link
// would let whoever made it point the appends at a file of their choosing.
// Fails, after `path`, with why not.
Error log_file_distrust(int fd, const std::string& path) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return Error(Errc::untrusted, path + " cannot be examined");
  }
  if (!S_ISREG(status.st_mode)) {
    return Error(Errc::untrusted, path + " is not a plain file");
  }
  if (status.st_nlink != 1) {
    return Error(Errc::untrusted, path + " has another name (a hard link)");
  }
  if (!posix::trusted_owner(status.st_uid)) {
    return Error(Errc::untrusted,
                 path + " is owned by user " + std::to_string(status.st_uid));
  }
  return Error();
}

// One name inside a directory, never a path: a slash would let openat follow
// links in between.
bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos;
}

// Opens `base` (followed as given: it is the administrator's choice) and each
// level below it, creating missing levels. `directory` ends up holding the
// innermost level; fails, saying which and why, when a level is missing, a
// link or untrusted.
Error open_log_directories(const std::string& base,
                           const std::vector<std::string>& levels,
                           posix::UniqueFd& directory) {
  directory.reset(posix::retry_on_eintr([&] {
    return ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!directory.valid()) return last_system_error().context(base);
  std::string path = base;
  for (const std::string& level : levels) {
    if (!plain_name(level)) {
      return Error(Errc::invalid, "bad folder name " + level);
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
      if (errno == ELOOP || errno == ENOTDIR) {
        return Error(Errc::untrusted, path + ": is not a plain directory");
      }
      return last_system_error().context(path);
    }
    const posix::DirectoryTrust trust = posix::directory_trust(next.get());
    if (trust.fault != posix::DirectoryFault::none) {
      return Error(
          Errc::untrusted,
          path + " " +
              posix::distrust_words(trust, posix::ModeAdvice::in_parentheses));
    }
    directory.reset(next.release());
  }
  return Error();
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

// Opens the file, checks it and appends: O_APPEND keeps lines of other
// writers whole. A failed write (disk full) may leave the line partial.
Error append_checked(int directory, const std::string& path, const char* name,
                     const std::string& bytes) {
  posix::UniqueFd file = open_log_file(directory, name);
  if (!file.valid()) {
    if (errno == ELOOP) {
      return Error(Errc::untrusted, path + ": is a link, not a plain file");
    }
    return last_system_error().context(path);
  }
  if (Error distrust = log_file_distrust(file.get(), path)) return distrust;
  return posix::write_fully(file.get(), bytes).context(path);
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
  return !open_log_directories(base, levels, directory);
}

Error append_to_log_file(const std::string& base,
                         const std::vector<std::string>& levels,
                         const std::string& file_name, const std::string& bytes,
                         Error& rotation) {
  rotation = Error();
  posix::UniqueFd directory;
  if (Error failure = open_log_directories(base, levels, directory)) {
    return failure;
  }
  if (!plain_name(file_name)) {
    return Error(Errc::invalid, "bad file name " + file_name);
  }
  std::string path = base;
  for (const std::string& level : levels) path += '/' + level;
  return append_checked(directory.get(), path + '/' + file_name,
                        file_name.c_str(), bytes);
}

}  // namespace vorn::os
