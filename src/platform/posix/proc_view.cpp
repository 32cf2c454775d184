#include "platform/posix/proc_view.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/runtime.h"

namespace vorn::os::posix {

namespace {

constexpr char kDeletedSuffix[] = " (deleted)";
constexpr std::size_t kMapsChunk = 64 * 1024;
constexpr std::uint64_t kMaxMapsBytes = 32ull << 20;
// A path can hold up to 4096 bytes, and a newline in it shows as four.
constexpr std::size_t kMaxMapsLine = 20 * 1024;

// /proc/<pid> of the held process. The number names that very process only
// while the pidfd shows it has not exited, so that is checked after the
// open; from then on the directory stays bound to it, even if the number is
// given to another process later.
UniqueFd open_process_directory(const ProcessHandle& process, ProcessId pid) {
  if (!process.open() || pid == 0) return UniqueFd();
  const std::string path = "/proc/" + std::to_string(pid);
  UniqueFd directory(retry_on_eintr([&] {
    return ::open(path.c_str(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  }));
  if (!directory.valid() || !process_is_running(process)) return UniqueFd();
  return directory;
}

bool ends_with(const std::string& text, const char* tail) {
  const std::size_t length = std::strlen(tail);
  return text.size() >= length &&
         text.compare(text.size() - length, length, tail) == 0;
}

}  // namespace

// File systems whose times move with every change, writes through a shared
// mapping included once the file's dirty pages have been flushed (the flush
// write-protects every mapping, so the next write faults and stamps the
// file), or whose files cannot change at all. Elsewhere (tmpfs never stamps
// writes through a mapping; FUSE, network and overlay file systems are not
// known to) an unchanged identity proves nothing.
bool times_follow_every_write(unsigned long file_system_type) {
  switch (file_system_type) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // XFS
    case 0x9123683E:  // Btrfs
    case 0xF2F52010:  // F2FS
    case 0x73717368:  // SquashFS (read-only)
    case 0xE0F5E1E2:  // EROFS (read-only)
    case 0x9660:      // ISO 9660 (read-only)
      return true;
    default:
      return false;
  }
}

UniqueFd open_process_view(const ProcessHandle& process, ProcessId pid) {
  UniqueFd process_directory = open_process_directory(process, pid);
  if (!process_directory.valid()) return process_directory;
  std::string ignored;
  if (read_link_at(process_directory.get(), "exe", ignored)) {
    return process_directory;
  }
  // A thread found below /proc/<pid>/task belongs to that same process.
  UniqueFd tasks(retry_on_eintr([&] {
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
    UniqueFd view(retry_on_eintr([&] {
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

dev_t Mapping::device() const {
  return makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor));
}

bool parse_mapping(const char* line, std::size_t size, Mapping& mapping) {
  const std::string text(line, size);
  unsigned long long start = 0, end = 0, offset = 0, inode = 0;
  char perms[8] = {};
  int range_end = 0, consumed = 0;
  if (std::sscanf(text.c_str(), "%llx-%llx%n %7s %llx %lx:%lx %llu %n", &start,
                  &end, &range_end, perms, &offset, &mapping.major,
                  &mapping.minor, &inode, &consumed) < 7 ||
      consumed == 0) {
    return false;
  }
  mapping.range = text.substr(0, static_cast<std::size_t>(range_end));
  mapping.start = start;
  mapping.end = end;
  mapping.offset = offset;
  mapping.executable = std::strlen(perms) >= 3 && perms[2] == 'x';
  mapping.inode = inode;
  mapping.pathname = text.substr(static_cast<std::size_t>(consumed));
  return true;
}

MapsRead read_maps(int maps,
                   const std::function<bool(const char*, std::size_t)>& visit,
                   std::size_t* lines) {
  std::vector<char> buffer(kMaxMapsLine + kMapsChunk);
  std::size_t held = 0;
  std::uint64_t total = 0;
  std::size_t seen = 0;
  bool skipping_long_line = false;
  if (lines != nullptr) *lines = 0;
  for (;;) {
    const ssize_t count = retry_on_eintr([&] {
      return ::pread(maps, buffer.data() + held, buffer.size() - held,
                     static_cast<off_t>(total));
    });
    if (count < 0) return MapsRead::unreadable;
    if (count == 0) return MapsRead::done;
    total += static_cast<std::uint64_t>(count);
    held += static_cast<std::size_t>(count);
    std::size_t start = 0;
    for (;;) {
      const void* end = std::memchr(buffer.data() + start, '\n', held - start);
      if (end == nullptr) break;
      const std::size_t length = static_cast<std::size_t>(
          static_cast<const char*>(end) - (buffer.data() + start));
      if (lines != nullptr) *lines = ++seen;
      if (!skipping_long_line && !visit(buffer.data() + start, length)) {
        return MapsRead::stopped;
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
    if (total > kMaxMapsBytes) return MapsRead::unreadable;
  }
}

UniqueFd open_mapped_file(int process_directory, const Mapping& mapping) {
  const std::string entry = "map_files/" + mapping.range;
  UniqueFd fd(retry_on_eintr([&] {
    return ::openat(process_directory, entry.c_str(), kClientOpenFlags);
  }));
  if (fd.valid()) return fd;
  const std::string& path = mapping.pathname;
  if (path.empty() || path[0] != '/' || ends_with(path, kDeletedSuffix) ||
      path.find("\\012") != std::string::npos) {
    return UniqueFd();
  }
  UniqueFd root(retry_on_eintr([&] {
    return ::openat(process_directory, "root",
                    O_PATH | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!root.valid()) return UniqueFd();
  fd.reset(retry_on_eintr([&] {
    return ::openat(root.get(), path.c_str() + 1,
                    kClientOpenFlags | O_NOFOLLOW);
  }));
  struct stat info {};
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0 ||
      info.st_dev != mapping.device() ||
      static_cast<std::uint64_t>(info.st_ino) != mapping.inode) {
    return UniqueFd();
  }
  return fd;
}

}  // namespace vorn::os::posix
