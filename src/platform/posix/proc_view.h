// Looking at a client process through /proc, always through the held
// process: its directory (or a live thread's), its links and its mappings.
// Shared by the inspection of its files and the watch of its code.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/posix/fd_util.h"
#include "platform/types.h"

namespace vorn::os::posix {

// Every open of something a client can influence: no controlling terminal
// taken over, no wait on a FIFO or device.
constexpr int kClientOpenFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// /proc/<pid> of the held process, or, when its leader thread has exited
// while others run (a zombie leader shows no exe and an empty maps), that of
// one of its live threads. Invalid once the process has ended.
UniqueFd open_process_view(const ProcessHandle& process, ProcessId pid);

bool read_link_at(int directory, const char* entry, std::string& target);

// One line of /proc/<pid>/maps: "start-end perms offset major:minor inode
// pathname".
struct Mapping {
  std::string range;  // "start-end", the map_files entry name
  std::uint64_t start = 0, end = 0, offset = 0;
  bool executable = false;
  unsigned long major = 0, minor = 0;
  std::uint64_t inode = 0;
  std::string pathname;
  dev_t device() const;
};

bool parse_mapping(const char* line, std::size_t size, Mapping& mapping);

constexpr unsigned long kFuseMagic = 0x65735546;

// Whether, on a file system of this type (statfs's f_type), a file's
// identity moves with every change of its bytes once its dirty pages have
// been flushed, or its bytes cannot change at all.
bool times_follow_every_write(unsigned long file_system_type);

enum class MapsRead { done, stopped, unreadable };

// Streams an open maps file from its start through a fixed buffer, at most
// 32 MiB (a client can make it hundreds of megabytes; a game's is well under
// 8 MiB), handing each line to `visit` until it returns false. Lines longer
// than a path can make are passed over. A maps file whose process no longer
// has its memory (it ended, or replaced its program) reads empty: `done`
// with `lines` 0.
MapsRead read_maps(int maps,
                   const std::function<bool(const char*, std::size_t)>& visit,
                   std::size_t* lines = nullptr);

// The mapped file itself. /proc/<pid>/map_files opens exactly what is mapped
// (it needs CAP_SYS_ADMIN or CAP_CHECKPOINT_RESTORE). Without that right,
// the printed path is opened from inside the process's own root, never
// through a final link, and accepted only when it is the mapped device and
// inode; a name the kernel had to mark or escape is not opened at all.
UniqueFd open_mapped_file(int process_directory, const Mapping& mapping);

}  // namespace vorn::os::posix
