// POSIX ways of tampering with the service log's directories, for the
// protection tests: symbolic links, chown to "nobody", chmod.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unit/service_log_protection.h"

namespace vorn::test {
namespace {

// Set up once; "nobody" is 65534 where the account database does not say.
uid_t nobody_uid() {
  const passwd* entry = ::getpwnam("nobody");
  return entry != nullptr ? entry->pw_uid : 65534;
}

}  // namespace

bool plant_directory_link(const std::string& link, const std::string& target) {
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

bool plant_file_link(const std::string& link, const std::string& target) {
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

bool give_to_untrusted_owner(const std::string& path) {
  // Only root may give a file away.
  if (::geteuid() != 0) return false;
  return ::lchown(path.c_str(), nobody_uid(), static_cast<gid_t>(-1)) == 0;
}

bool let_everyone_change(const std::string& path) {
  return ::chmod(path.c_str(), 0777) == 0;
}

bool others_may_change(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return false;
  const bool trusted = status.st_uid == ::geteuid() || status.st_uid == 0;
  return !trusted || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool is_link(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool remove_link(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

}  // namespace vorn::test
