// The one rule for every directory the service relies on (the endpoint's,
// the log's, the trusted-digest list's): a real directory that only root or
// the service's own account can change, since anyone else who may write it
// could plant a link or a file of their choosing inside. Header-only, like
// fd_util.h, for the runtime and the system library alike.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/posix/fd_util.h"

namespace vorn::os::posix {

enum class DirectoryFault {
  none,
  unexamined,       // fstat failed
  not_a_directory,  // a link (when not followed), a file, ...
  foreign_owner,    // owned by neither root nor the service's own account
  others_may_write  // group or others may write it
};

struct DirectoryTrust {
  DirectoryFault fault = DirectoryFault::none;
  uid_t owner = 0;
};

inline DirectoryTrust directory_trust(const struct stat& status) {
  DirectoryTrust trust;
  trust.owner = status.st_uid;
  if (!S_ISDIR(status.st_mode)) {
    trust.fault = DirectoryFault::not_a_directory;
  } else if (!trusted_owner(status.st_uid)) {
    trust.fault = DirectoryFault::foreign_owner;
  } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    trust.fault = DirectoryFault::others_may_write;
  }
  return trust;
}

// The directory open as `fd`: the one that will be used, whatever its path
// names by now.
inline DirectoryTrust directory_trust(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return DirectoryTrust{DirectoryFault::unexamined, 0};
  }
  return directory_trust(status);
}

// How the advice to make a directory mode 0755 follows the words of the
// fault: the log's texts put it in parentheses, the endpoint's after a
// semicolon.
enum class ModeAdvice { in_parentheses, after_semicolon };

// The fault in words that follow the directory's name ("is owned by user
// 1000, not by root or the service's own user"); empty for none.
inline std::string distrust_words(const DirectoryTrust& trust,
                                  ModeAdvice advice) {
  switch (trust.fault) {
    case DirectoryFault::none:
      break;
    case DirectoryFault::unexamined:
      return "cannot be examined";
    case DirectoryFault::not_a_directory:
      return "is not a plain directory";
    case DirectoryFault::foreign_owner:
      return "is owned by user " + std::to_string(trust.owner) +
             ", not by root or the service's own user";
    case DirectoryFault::others_may_write:
      return advice == ModeAdvice::in_parentheses
                 ? "may be written by group or others (make it mode 0755)"
                 : "may be written by group or others; make it mode 0755";
  }
  return std::string();
}

}  // namespace vorn::os::posix
