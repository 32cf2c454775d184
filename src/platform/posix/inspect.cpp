// What the integrity check learns about a client process, always through the
// held process itself: /proc/<pid> is opened as a directory and trusted only
// while the pidfd shows that process still running, the image is opened
// through /proc/<pid>/exe and the guard module through its mapping's own file.
// A name that /proc prints is never opened as a path except through the
// process's own root, and then accepted only when it is the mapped file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/posix/fd_util.h"
#include "platform/posix/file_hash.h"
#include "platform/runtime.h"
#include "platform/system.h"

namespace vorn::os {

namespace {

constexpr char kGuardModuleName[] = "libvorn_guard.so";
constexpr char kDeletedSuffix[] = " (deleted)";
// /proc/<pid>/maps is read through a fixed buffer, and only this far: a
// client can make it hundreds of megabytes. A game's is well under 8 MiB.
constexpr std::size_t kMapsChunk = 64 * 1024;
constexpr std::uint64_t kMaxMapsBytes = 32ull << 20;
// Longer lines (a path can hold up to 4096 bytes, a newline in it shows as
// four) are passed over.
constexpr std::size_t kMaxMapsLine = 20 * 1024;
// Every open of something a client can influence: no controlling terminal
// taken over, no wait on a FIFO or device.
constexpr int kClientOpenFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

bool pidfd_running(ProcessHandle process) {
  return process_is_running(process);
}

// /proc/<pid> of the held process. The number names that very process only
// while the pidfd shows it has not exited, so that is checked after the
// open; from then on the directory stays bound to it, even if the number is
// given to another process later.
posix::UniqueFd open_process_directory(ProcessHandle process, ProcessId pid) {
  if (!process.open || pid == 0) return posix::UniqueFd();
  const std::string path = "/proc/" + std::to_string(pid);
  posix::UniqueFd directory(posix::retry_on_eintr([&] {
    return ::open(path.c_str(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  }));
  if (!directory.valid() || !pidfd_running(process)) return posix::UniqueFd();
  return directory;
}

bool read_link_at(int directory, const char* entry, std::string& target);

// The directory to look at the process through: its own, or, when the leader
// thread has exited while others run (a zombie leader shows no exe and an
// empty maps), that of one of its live threads. A thread found below
// /proc/<pid>/task belongs to that same process.
posix::UniqueFd open_live_view(posix::UniqueFd process_directory) {
  std::string ignored;
  if (read_link_at(process_directory.get(), "exe", ignored)) {
    return process_directory;
  }
  posix::UniqueFd tasks(posix::retry_on_eintr([&] {
    return ::openat(process_directory.get(), "task",
                    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!tasks.valid()) return process_directory;
  DIR* listing = ::fdopendir(tasks.get());
  if (listing == nullptr) return process_directory;
  tasks.release();
  const std::unique_ptr<DIR, int (*)(DIR*)> owned(listing, ::closedir);
  while (const dirent* thread = ::readdir(listing)) {
    if (thread->d_name[0] < '1' || thread->d_name[0] > '9') continue;
    posix::UniqueFd view(posix::retry_on_eintr([&] {
      return ::openat(::dirfd(listing), thread->d_name,
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    }));
    if (view.valid() && read_link_at(view.get(), "exe", ignored)) return view;
  }
  return process_directory;
}

bool read_link_at(int directory, const char* entry, std::string& target) {
  std::vector<char> buffer(4096 + 64);
  const ssize_t length =
      ::readlinkat(directory, entry, buffer.data(), buffer.size());
  if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) {
    return false;
  }
  target.assign(buffer.data(), static_cast<std::size_t>(length));
  return true;
}

// One line of /proc/<pid>/maps: "start-end perms offset major:minor inode
// pathname".
struct Mapping {
  std::string range;  // "start-end", the map_files entry name
  bool executable = false;
  unsigned long major = 0, minor = 0;
  std::uint64_t inode = 0;
  std::string pathname;
};

bool parse_mapping(const char* line, std::size_t size, Mapping& mapping) {
  const std::string text(line, size);
  char range[80] = {};
  char perms[8] = {};
  unsigned long long offset = 0, inode = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%79s %7s %llx %lx:%lx %llu %n", range, perms,
                  &offset, &mapping.major, &mapping.minor, &inode,
                  &consumed) < 6) {
    return false;
  }
  mapping.range = range;
  mapping.executable = std::strlen(perms) >= 3 && perms[2] == 'x';
  mapping.inode = inode;
  mapping.pathname = text.substr(static_cast<std::size_t>(consumed));
  return true;
}

bool ends_with(const std::string& text, const char* tail) {
  const std::size_t length = std::strlen(tail);
  return text.size() >= length &&
         text.compare(text.size() - length, length, tail) == 0;
}

// An executable mapping of a file named exactly "libvorn_guard.so" (its file
// may have been deleted or replaced since it was mapped).
bool is_guard_mapping(const Mapping& mapping) {
  if (!mapping.executable || mapping.inode == 0 || mapping.pathname.empty() ||
      mapping.pathname[0] != '/') {
    return false;
  }
  std::string file = mapping.pathname;
  if (ends_with(file, kDeletedSuffix)) {
    file.resize(file.size() - std::strlen(kDeletedSuffix));
  }
  return file.substr(file.rfind('/') + 1) == kGuardModuleName;
}

// A cheap look at the line's end, so that only candidates are parsed (a
// client may show hundreds of thousands of lines).
bool may_name_guard_module(const char* line, std::size_t size) {
  const std::string_view text(line, size);
  const auto ends_in = [&text](std::string_view tail) {
    return text.size() >= tail.size() &&
           text.substr(text.size() - tail.size()) == tail;
  };
  return ends_in("/libvorn_guard.so") || ends_in("/libvorn_guard.so (deleted)");
}

enum class MapsSearch { found, not_found, unreadable };

// Streams the maps file through a fixed buffer, up to kMaxMapsBytes, and
// stops at the first guard module mapping.
MapsSearch find_guard_mapping(int process_directory, Mapping& found) {
  posix::UniqueFd maps(posix::retry_on_eintr(
      [&] { return ::openat(process_directory, "maps", kClientOpenFlags); }));
  if (!maps.valid()) return MapsSearch::unreadable;
  std::vector<char> buffer(kMaxMapsLine + kMapsChunk);
  std::size_t held = 0;
  std::uint64_t total = 0;
  bool skipping_long_line = false;
  for (;;) {
    const ssize_t count = posix::retry_on_eintr([&] {
      return ::read(maps.get(), buffer.data() + held, buffer.size() - held);
    });
    if (count < 0) return MapsSearch::unreadable;
    if (count == 0) return MapsSearch::not_found;
    total += static_cast<std::uint64_t>(count);
    held += static_cast<std::size_t>(count);
    std::size_t start = 0;
    for (;;) {
      const void* end = std::memchr(buffer.data() + start, '\n', held - start);
      if (end == nullptr) break;
      const std::size_t length = static_cast<std::size_t>(
          static_cast<const char*>(end) - (buffer.data() + start));
      Mapping mapping;
      if (!skipping_long_line &&
          may_name_guard_module(buffer.data() + start, length) &&
          parse_mapping(buffer.data() + start, length, mapping) &&
          is_guard_mapping(mapping)) {
        found = mapping;
        return MapsSearch::found;
      }
      skipping_long_line = false;
      start += length + 1;
    }
    // Keep the unfinished line; one that fills the buffer is dropped.
    std::memmove(buffer.data(), buffer.data() + start, held - start);
    held -= start;
    if (held >= kMaxMapsLine) {
      held = 0;
      skipping_long_line = true;
    }
    if (total > kMaxMapsBytes) return MapsSearch::unreadable;
  }
}

// The mapped file itself. /proc/<pid>/map_files opens exactly what is mapped
// (it needs CAP_SYS_ADMIN or CAP_CHECKPOINT_RESTORE). Without that right, the
// printed path is opened from inside the process's own root, never through
// a final link, and accepted only when it is the mapped device and inode; a
// name the kernel had to mark or escape cannot be opened that way at all.
posix::UniqueFd open_mapped_file(int process_directory,
                                 const Mapping& mapping) {
  const std::string entry = "map_files/" + mapping.range;
  posix::UniqueFd fd(posix::retry_on_eintr([&] {
    return ::openat(process_directory, entry.c_str(), kClientOpenFlags);
  }));
  if (fd.valid()) return fd;
  const std::string& path = mapping.pathname;
  if (ends_with(path, kDeletedSuffix) ||
      path.find("\\012") != std::string::npos) {
    return posix::UniqueFd();
  }
  posix::UniqueFd root(posix::retry_on_eintr([&] {
    return ::openat(process_directory, "root",
                    O_PATH | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!root.valid()) return posix::UniqueFd();
  fd.reset(posix::retry_on_eintr([&] {
    return ::openat(root.get(), path.c_str() + 1,
                    kClientOpenFlags | O_NOFOLLOW);
  }));
  struct stat info {};
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0 ||
      info.st_dev != makedev(static_cast<unsigned>(mapping.major),
                             static_cast<unsigned>(mapping.minor)) ||
      static_cast<std::uint64_t>(info.st_ino) != mapping.inode) {
    return posix::UniqueFd();
  }
  return fd;
}

}  // namespace

// Nothing is held here: the identity rule tells a changed file.
void release_pinned_file(PinnedFile& pin) { pin = PinnedFile(); }

ExamineOutcome examine_client_file(ProcessHandle process, ProcessId pid,
                                   ClientFile which,
                                   const FileIdentity& unchanged,
                                   PinnedFile* /*pin*/, KeepGoing keep_going,
                                   void* context, ExaminedFile& result) {
  result = ExaminedFile();
  const posix::UniqueFd directory =
      open_live_view(open_process_directory(process, pid));
  if (!directory.valid()) return ExamineOutcome::not_found;

  posix::UniqueFd file;
  std::uint64_t limit = kMaxImageBytes;
  if (which == ClientFile::image) {
    // The file the process runs, whatever its name shows and in whatever
    // mount namespace it lives.
    file.reset(posix::retry_on_eintr(
        [&] { return ::openat(directory.get(), "exe", kClientOpenFlags); }));
    if (!file.valid() || !read_link_at(directory.get(), "exe", result.path)) {
      return ExamineOutcome::not_found;
    }
  } else {
    limit = kMaxGuardModuleBytes;
    Mapping mapping;
    switch (find_guard_mapping(directory.get(), mapping)) {
      case MapsSearch::found:
        break;
      case MapsSearch::not_found:
        return ExamineOutcome::not_found;
      case MapsSearch::unreadable:
        return ExamineOutcome::unreadable;
    }
    result.path = mapping.pathname;
    file = open_mapped_file(directory.get(), mapping);
    if (!file.valid()) return ExamineOutcome::unreadable;
  }

  struct stat before {};
  if (::fstat(file.get(), &before) != 0 || !S_ISREG(before.st_mode)) {
    return ExamineOutcome::unreadable;
  }
  result.identity = posix::identity_of(before);
  if (same_version(result.identity, unchanged)) {
    return ExamineOutcome::unchanged;
  }
  if (static_cast<std::uint64_t>(before.st_size) > limit) {
    return ExamineOutcome::too_large;
  }
  const ExamineOutcome hashed = posix::hash_open_file(
      file.get(), limit, keep_going, context, result.digest);
  if (hashed != ExamineOutcome::examined) return hashed;
  // A file that changed under the hash is not remembered as verified.
  struct stat after {};
  if (::fstat(file.get(), &after) != 0 ||
      !same_version(posix::identity_of(after), result.identity)) {
    result.identity.known = false;
  }
  return ExamineOutcome::examined;
}

}  // namespace vorn::os
