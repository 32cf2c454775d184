// What the integrity check learns about a client process, always through the
// held process itself: /proc/<pid> is opened as a directory and trusted only
// while the pidfd shows that process still running, the image is opened
// through /proc/<pid>/exe and the guard module, found by its SONAME, through
// its mapping's own file.
// A name that /proc prints is never opened as a path except through the
// process's own root, and then accepted only when it is the mapped file.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/posix/appended_signature.h"
#include "platform/posix/fd_util.h"
#include "platform/posix/file_hash.h"
#include "platform/posix/module_search.h"
#include "platform/posix/proc_view.h"
#include "platform/posix/signature_check.h"
#include "platform/runtime.h"
#include "platform/system.h"

namespace vorn::os {

namespace {

using posix::kClientOpenFlags;
using posix::Mapping;
using posix::UniqueFd;

bool times_follow_every_write(int fd) {
  struct statfs info {};
  return ::fstatfs(fd, &info) == 0 &&
         posix::times_follow_every_write(
             static_cast<unsigned long>(info.f_type));
}

// The type of the file system on `device` as the process's own mount table
// names it ("ext4", "fuse.squashfuse"), or "" when it is not found there.
std::string file_system_type(int process_directory, dev_t device) {
  const UniqueFd mounts(posix::retry_on_eintr([&] {
    return ::openat(process_directory, "mountinfo", kClientOpenFlags);
  }));
  if (!mounts.valid()) return "";
  const std::string wanted =
      std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::string type;
  // "36 35 98:0 /root /mnt opts - ext3 /dev/root rw": the device is the
  // third field, the type the first after " - ".
  posix::read_maps(mounts.get(), [&](const char* line, std::size_t length) {
    const std::string text(line, length);
    char id[32] = {};
    if (std::sscanf(text.c_str(), "%*s %*s %31s", id) != 1 || wanted != id) {
      return true;
    }
    const std::size_t dash = text.find(" - ");
    if (dash == std::string::npos) return true;
    type = text.substr(dash + 3, text.find(' ', dash + 3) - (dash + 3));
    return false;
  });
  return type;
}

// Why a file the service was refused cannot be read: said for a file on a
// file system that the player mounted and serves himself (an AppImage's or
// a squashfuse mount), which root cannot open unless it allows others.
// None for a file elsewhere.
Error refused_open_problem(int process_directory, const char* what,
                           dev_t device) {
  const std::string type = file_system_type(process_directory, device);
  if (type.rfind("fuse", 0) != 0) return Error();
  return Error(Errc::untrusted,
               std::string("the ") + what + " is on a " + type +
                   " file system, which the service cannot read soundly: "
                   "its server chooses the bytes each reader gets");
}

// The device of the file the process runs, from its mapping of it.
dev_t mapped_device_of(int process_directory, const std::string& path) {
  const UniqueFd maps(posix::retry_on_eintr(
      [&] { return ::openat(process_directory, "maps", kClientOpenFlags); }));
  dev_t device = 0;
  if (!maps.valid()) return device;
  posix::read_maps(maps.get(), [&](const char* line, std::size_t length) {
    Mapping mapping;
    if (posix::parse_mapping(line, length, mapping) &&
        mapping.pathname == path) {
      device = mapping.device();
      return false;
    }
    return true;
  });
  return device;
}

// Whether a file of `size` bytes ends in a signature, from one bounded read
// of its end; `split` then says where the signed bytes end.
posix::SignatureFraming signature_framing(int fd, std::uint64_t size,
                                          posix::SplitRead& split) {
  std::uint8_t end[posix::kSignatureTrailerBytes] = {};
  const std::size_t wanted =
      size < sizeof(end) ? static_cast<std::size_t>(size) : sizeof(end);
  const ssize_t count = posix::retry_on_eintr([&] {
    return ::pread(fd, end, wanted, static_cast<off_t>(size - wanted));
  });
  if (count != static_cast<ssize_t>(wanted)) {
    return posix::SignatureFraming::none;
  }
  const posix::SignatureFraming framing =
      posix::find_signature(end, wanted, size, split.at);
  split.most = posix::kSignatureTailBytes;
  return framing;
}

// Hashes an open file from its start: flushed first (see
// times_follow_every_write), its identity taken before and after. A file
// whose identity moved under the hash was being changed: `changed`, so that
// a client resetting its file's times cannot get it admitted without an
// identity to hold it to. The signature appended to the file is checked from
// that same read, so the bytes verified are the bytes hashed.
ExamineOutcome hash_from_start(int fd, std::uint64_t limit,
                               KeepGoing keep_going, void* context,
                               DigestRecall recall, ExaminedFile& result) {
  const bool times_tell = times_follow_every_write(fd);
  if (times_tell && ::fdatasync(fd) != 0 && errno != EINVAL) {
    return ExamineOutcome::unreadable;
  }
  struct stat before {};
  if (::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
    return ExamineOutcome::unreadable;
  }
  result.identity = posix::identity_of(before);
  result.identity.stamped = times_tell;
  if (static_cast<std::uint64_t>(before.st_size) > limit) {
    return ExamineOutcome::too_large;
  }
  // A version verified before: flushed just now, so any write since that
  // check has moved its times.
  if (recall.recall != nullptr && times_tell &&
      recall.recall(recall.context, result.identity, result.digest,
                    result.signers)) {
    result.recalled = true;
    return ExamineOutcome::examined;
  }
  // Where a signature would begin, from the file's end; the one read below
  // hashes the covered bytes on the way and keeps the signature's own.
  const std::uint64_t size = static_cast<std::uint64_t>(before.st_size);
  posix::SplitRead split;
  const posix::SignatureFraming framing = signature_framing(fd, size, split);
  if (::lseek(fd, 0, SEEK_SET) != 0) return ExamineOutcome::unreadable;
  const ExamineOutcome hashed = posix::hash_open_file(
      fd, limit, keep_going, context, result.digest,
      framing == posix::SignatureFraming::present ? &split : nullptr);
  if (hashed != ExamineOutcome::examined) return hashed;
  struct stat after {};
  if (::fstat(fd, &after) != 0) return ExamineOutcome::unreadable;
  if (!same_version(posix::identity_of(after), result.identity)) {
    return ExamineOutcome::changed;
  }
  if (framing == posix::SignatureFraming::malformed ||
      (framing == posix::SignatureFraming::present &&
       (!split.reached || !split.rest_whole))) {
    result.signature_problem = posix::malformed_signature();
  } else if (framing == posix::SignatureFraming::present) {
    result.signature_problem =
        posix::check_signature_tail(split.rest.data(), split.rest.size(),
                                    split.head_digest, result.signers);
  }
  return ExamineOutcome::examined;
}

// Finds, opens and hashes the file through one view of the process.
ExamineOutcome examine_through(int directory, ClientFile which,
                               const FileIdentity& unchanged, PinnedFile* pin,
                               KeepGoing keep_going, void* context,
                               DigestRecall recall, ExaminedFile& result) {
  const std::uint64_t limit =
      which == ClientFile::image ? kMaxImageBytes : kMaxGuardModuleBytes;
  UniqueFd file;
  if (which == ClientFile::image) {
    // The file the process runs, whatever its name shows and in whatever
    // mount namespace it lives.
    if (!posix::read_link_at(directory, "exe", result.path)) {
      return ExamineOutcome::not_found;
    }
    file.reset(posix::retry_on_eintr(
        [&] { return ::openat(directory, "exe", kClientOpenFlags); }));
    if (!file.valid()) {
      const int failure = errno;
      result.problem = refused_open_problem(
          directory, "executable", mapped_device_of(directory, result.path));
      if (result.problem) return ExamineOutcome::unreadable;
      return failure == EACCES || failure == EPERM ? ExamineOutcome::unreadable
                                                   : ExamineOutcome::not_found;
    }
  } else {
    // Found by what it is, and hashed through the very file that said so.
    Mapping mapping;
    const posix::ModuleSearch search =
        posix::find_guard_module(directory, mapping, file);
    if (search == posix::ModuleSearch::not_found) {
      return ExamineOutcome::not_found;
    }
    result.path = mapping.pathname;
    if (search == posix::ModuleSearch::unreadable) {
      if (mapping.inode != 0) {
        result.problem =
            refused_open_problem(directory, "guard module", mapping.device());
      }
      return ExamineOutcome::unreadable;
    }
  }

  // A FUSE file system answers each read as its server likes: the bytes the
  // service hashes need not be those the client runs.
  struct statfs file_system {};
  if (::fstatfs(file.get(), &file_system) == 0 &&
      static_cast<unsigned long>(file_system.f_type) == posix::kFuseMagic) {
    struct stat info {};
    const dev_t device = ::fstat(file.get(), &info) == 0 ? info.st_dev : 0;
    result.problem = refused_open_problem(
        directory, which == ClientFile::image ? "executable" : "guard module",
        device);
    if (!result.problem) {
      result.problem =
          Error(Errc::untrusted, "the file is on a FUSE file system");
    }
    return ExamineOutcome::unreadable;
  }

  struct stat first {};
  if (::fstat(file.get(), &first) != 0 || !S_ISREG(first.st_mode)) {
    return ExamineOutcome::unreadable;
  }
  if (same_version(posix::identity_of(first), unchanged) &&
      times_follow_every_write(file.get())) {
    result.identity = posix::identity_of(first);
    return ExamineOutcome::unchanged;
  }
  const ExamineOutcome hashed =
      hash_from_start(file.get(), limit, keep_going, context, recall, result);
  // The file verified is held for the session, so that its re-checks open
  // nothing.
  if (hashed == ExamineOutcome::examined && pin != nullptr) {
    *pin = PinnedFile(file.release());
  }
  return hashed;
}

// An update that renames a new file over the running one (or an uninstall)
// moves only the old file's change time, as its last name goes: hashed again,
// once, since it has no name left to lose.
bool lost_its_last_name(const FileIdentity& before, const FileIdentity& now) {
  return before.links > 0 && now.links == 0 && before.size == now.size &&
         before.modified_ns == now.modified_ns;
}

}  // namespace

void PinnedFileKind::close(std::intptr_t raw) {
  ::close(static_cast<int>(raw));
}

ExamineOutcome examine_client_file(const ProcessHandle& process, ProcessId pid,
                                   ClientFile which,
                                   const FileIdentity& unchanged,
                                   PinnedFile* pin, KeepGoing keep_going,
                                   void* context, ExaminedFile& result,
                                   DigestRecall recall) {
  result = ExaminedFile();
  const std::uint64_t limit =
      which == ClientFile::image ? kMaxImageBytes : kMaxGuardModuleBytes;
  if (pin != nullptr && pin->open()) {
    // A re-check: the very file verified is held since then, and nothing is
    // opened again (an open is an event the client could watch for). That
    // the process still runs that file's code is the code watch's part.
    if (!process_is_running(process)) return ExamineOutcome::not_found;
    const int fd = static_cast<int>(pin->raw());
    struct stat now {};
    if (::fstat(fd, &now) != 0) return ExamineOutcome::unreadable;
    result.identity = posix::identity_of(now);
    if (same_version(result.identity, unchanged)) {
      if (times_follow_every_write(fd)) return ExamineOutcome::unchanged;
    } else if (unchanged.known &&
               !lost_its_last_name(unchanged, result.identity)) {
      // Written, truncated or touched since it was verified: an honest
      // game's files do not change while it runs, and a client that resets
      // the times at will does not get the file hashed again for it.
      return ExamineOutcome::changed;
    }
    return hash_from_start(fd, limit, keep_going, context, recall, result);
  }

  // A view is the leader's until its thread exits while others run (the
  // leader then shows no exe and no maps): a look that failed because that
  // happened under it is made again through a live thread's view.
  for (int attempt = 0;; ++attempt) {
    const UniqueFd directory = posix::open_process_view(process, pid);
    if (!directory.valid()) return ExamineOutcome::not_found;
    result = ExaminedFile();
    const ExamineOutcome outcome =
        examine_through(directory.get(), which, unchanged, pin, keep_going,
                        context, recall, result);
    std::string ignored;
    if (outcome == ExamineOutcome::examined ||
        outcome == ExamineOutcome::unchanged || attempt == 2 ||
        posix::read_link_at(directory.get(), "exe", ignored) ||
        !process_is_running(process)) {
      return outcome;
    }
  }
}

}  // namespace vorn::os
