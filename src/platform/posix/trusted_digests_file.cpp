// The POSIX side of the trusted-digest list: where it is, and reading it only
// when nobody but root (or the service's own account) can have written it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/posix/directory_trust.h"
#include "platform/posix/fd_util.h"
#include "platform/system.h"

namespace vorn::os {

namespace {

constexpr char kDefaultDirectory[] = "/etc/vorn-guard";
constexpr char kFileName[] = "trusted-digests";

std::string list_directory() {
  return posix::systemd_directory("CONFIGURATION_DIRECTORY", kDefaultDirectory);
}

TrustedDigestsFile untrusted(Error& problem, Error why) {
  problem = std::move(why);
  return TrustedDigestsFile::untrusted;
}

TrustedDigestsFile untrusted(Error& problem, const std::string& words) {
  return untrusted(problem, Error(Errc::untrusted, words));
}

}  // namespace

std::string trusted_digests_path() {
  return list_directory() + '/' + kFileName;
}

TrustedDigestsFile read_trusted_digests(const FileIdentity& unchanged,
                                        std::string& bytes,
                                        FileIdentity& identity,
                                        Error& problem) {
  bytes.clear();
  problem = Error();
  const std::string directory_path = list_directory();
  const std::string path = trusted_digests_path();
  // The folder as the administrator named it (its last part not followed);
  // a missing folder is no list.
  const posix::UniqueFd directory(posix::retry_on_eintr([&] {
    return ::open(directory_path.c_str(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }));
  if (!directory.valid()) {
    if (errno == ENOENT) return TrustedDigestsFile::absent;
    return untrusted(problem, last_system_error().context(
                                  directory_path + ": cannot open the folder"));
  }
  // Whoever may change the folder may remove or swap the list.
  if (posix::directory_trust(directory.get()).fault !=
      posix::DirectoryFault::none) {
    return untrusted(problem, directory_path +
                                  ": the folder may be changed by an "
                                  "untrusted account");
  }
  const posix::UniqueFd file(posix::retry_on_eintr([&] {
    return ::openat(directory.get(), kFileName,
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }));
  if (!file.valid()) {
    if (errno == ENOENT) return TrustedDigestsFile::absent;
    if (errno == ELOOP) return untrusted(problem, path + ": a symbolic link");
    return untrusted(problem,
                     last_system_error().context(path + ": cannot open"));
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) {
    return untrusted(problem,
                     last_system_error().context(path + ": cannot read"));
  }
  if (!S_ISREG(status.st_mode)) {
    return untrusted(problem, path + ": not a plain file");
  }
  if (!posix::trusted_owner(status.st_uid)) {
    return untrusted(problem, path + ": owned by an untrusted account");
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return untrusted(problem, path + ": writable by group or others");
  }
  if (static_cast<std::uint64_t>(status.st_size) > kMaxTrustedDigestsBytes) {
    return untrusted(problem, path + ": larger than 1 MiB");
  }
  identity = posix::identity_of(status);
  if (same_version(identity, unchanged)) return TrustedDigestsFile::unchanged;

  // One byte more than allowed tells a file that grew since the fstat.
  bytes.resize(kMaxTrustedDigestsBytes + 1);
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t count = posix::retry_on_eintr([&] {
      return ::read(file.get(), &bytes[filled], bytes.size() - filled);
    });
    if (count < 0) {
      Error failure = last_system_error().context(path + ": cannot read");
      bytes.clear();
      return untrusted(problem, std::move(failure));
    }
    if (count == 0) break;
    filled += static_cast<std::size_t>(count);
  }
  bytes.resize(filled);
  if (filled > kMaxTrustedDigestsBytes) {
    bytes.clear();
    return untrusted(problem, path + ": larger than 1 MiB");
  }
  return TrustedDigestsFile::read;
}

}  // namespace vorn::os
