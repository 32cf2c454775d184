#include "platform/posix/module_search.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/elf_names.h"
#include "platform/posix/service_names.h"
#include "platform/system.h"

namespace vorn::os::posix {

namespace {

// The module's SONAME, set by cmake/guard_module.cmake.
constexpr std::string_view kGuardNameStem = "libvorn_guard.so";

// Cheap looks at a maps line, so that only candidates are parsed (a client
// may show hundreds of thousands of lines).

// The last part of the path starts like the module's file names
// ("libvorn_guard.so", "libvorn_guard.so.1", either "(deleted)").
bool named_like_guard_module(std::string_view line) {
  const std::size_t slash = line.rfind('/');
  return slash != std::string_view::npos &&
         line.substr(slash + 1, kGuardNameStem.size()) == kGuardNameStem;
}

// "start-end r-xp ... /path": executable, with a path.
bool may_be_code_file(std::string_view line) {
  const std::size_t space = line.find(' ');
  return space != std::string_view::npos && space + 3 < line.size() &&
         line[space + 3] == 'x' &&
         line.find(" /", space) != std::string_view::npos;
}

enum class Look { module, other, unreadable };

// Reads the SONAME of a mapping's own file. Never reads a file whose bytes
// its server chooses for each reader (FUSE, which could also keep the read
// waiting), nor anything but a regular file.
Look look_at(int process_directory, const Mapping& mapping, UniqueFd& file) {
  file = open_mapped_file(process_directory, mapping);
  if (!file.valid()) return Look::unreadable;
  struct statfs file_system {};
  if (::fstatfs(file.get(), &file_system) != 0 ||
      static_cast<unsigned long>(file_system.f_type) == kFuseMagic) {
    return Look::unreadable;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return Look::other;
  }
  return elf_soname_of(file.get()) == kGuardSoname ? Look::module : Look::other;
}

struct Search {
  int directory = -1;
  std::vector<std::pair<dev_t, std::uint64_t>> seen;
  bool found = false;
  Mapping mapping;
  UniqueFd file;
  bool named_unreadable = false;
  Mapping unreadable;
};

// One pass over maps, looking at the lines `wanted` picks; false when maps
// cannot be read.
bool look_through(Search& search, bool (*wanted)(std::string_view)) {
  const UniqueFd maps(retry_on_eintr(
      [&] { return ::openat(search.directory, "maps", kClientOpenFlags); }));
  if (!maps.valid()) return false;
  const MapsRead read = read_maps(maps.get(), [&](const char* line,
                                                  std::size_t length) {
    Mapping mapping;
    if (!wanted(std::string_view(line, length)) ||
        !parse_mapping(line, length, mapping) || !mapping.executable ||
        mapping.inode == 0 || mapping.pathname.empty() ||
        mapping.pathname[0] != '/') {
      return true;
    }
    const std::pair<dev_t, std::uint64_t> id(mapping.device(), mapping.inode);
    for (const auto& seen : search.seen) {
      if (seen == id) return true;
    }
    if (search.seen.size() >= kMaxCodeFiles) return false;
    search.seen.push_back(id);
    UniqueFd file;
    switch (look_at(search.directory, mapping, file)) {
      case Look::module:
        search.found = true;
        search.mapping = std::move(mapping);
        search.file = std::move(file);
        return false;
      case Look::unreadable:
        if (wanted == named_like_guard_module && !search.named_unreadable) {
          search.named_unreadable = true;
          search.unreadable = std::move(mapping);
        }
        return true;
      case Look::other:
        return true;
    }
    return true;
  });
  return read != MapsRead::unreadable;
}

}  // namespace

ModuleSearch find_guard_module(int process_directory, Mapping& mapping,
                               UniqueFd& file) {
  Search search;
  search.directory = process_directory;
  if (!look_through(search, named_like_guard_module)) {
    return ModuleSearch::unreadable;
  }
  if (!search.found && !look_through(search, may_be_code_file)) {
    return ModuleSearch::unreadable;
  }
  if (search.found) {
    mapping = std::move(search.mapping);
    file = std::move(search.file);
    return ModuleSearch::found;
  }
  if (search.named_unreadable) {
    mapping = std::move(search.unreadable);
    return ModuleSearch::unreadable;
  }
  return ModuleSearch::not_found;
}

}  // namespace vorn::os::posix
