// The watch of a verified client's code on Linux. At the OK the service opens
// the process's maps, pagemap and mem views through the held process and
// keeps them: each is bound to the memory the process had then, so after an
// exec (same pid, new memory) they read empty. From then on a look reads 8
// bytes of pagemap per code page: a page that anyone wrote (ptrace, a write
// to /proc/<pid>/mem, mprotect and a write) is an anonymous copy there, no
// longer the file's page. Nothing a look does opens or reads a client file.
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/posix/file_hash.h"
#include "platform/posix/proc_view.h"
#include "platform/runtime.h"
#include "platform/system.h"

namespace vorn::os {

namespace {

using posix::Mapping;
using posix::UniqueFd;

constexpr std::uint64_t kPage = 4096;
// pagemap: one 64-bit entry per page.
constexpr std::uint64_t kPresent = 1ull << 63;
constexpr std::uint64_t kSwapped = 1ull << 62;
constexpr std::uint64_t kFilePage = 1ull << 61;
// Entries read at a time: 4 MiB of address space.
constexpr std::size_t kEntriesPerRead = 1024;

enum class Owner { image, module };

// One executable mapping of a verified file, as it was at the OK.
struct CodeRange {
  Owner owner = Owner::image;
  std::uint64_t start = 0, end = 0, offset = 0;
};

}  // namespace

struct ClientCode::State {
  UniqueFd directory;  // the process's (or a live thread's) /proc directory
  UniqueFd maps, pagemap, memory;
  dev_t image_device = 0, module_device = 0;
  std::uint64_t image_inode = 0, module_inode = 0;
  std::vector<CodeRange> ranges;
  // Code pages that were already not the file's at the OK (a packed game's),
  // held to what they held then.
  std::vector<std::uint64_t> private_pages;
  std::uint8_t private_digest[32] = {};
};

ClientCode::ClientCode() = default;
ClientCode::ClientCode(ClientCode&&) noexcept = default;
ClientCode& ClientCode::operator=(ClientCode&&) noexcept = default;
ClientCode::~ClientCode() = default;
void ClientCode::reset(std::unique_ptr<State> state) {
  state_ = std::move(state);
}

namespace {

const char* name_of(Owner owner) {
  return owner == Owner::image ? "executable" : "guard module";
}

bool same_file(const Mapping& mapping, dev_t device, std::uint64_t inode) {
  return mapping.inode == inode && mapping.device() == device;
}

// The executable mappings of the two files, or false when maps reads empty
// (the process's memory is gone) or cannot be read.
bool code_mappings(const ClientCode::State& state,
                   std::vector<Mapping>& found) {
  std::size_t lines = 0;
  const posix::MapsRead read = posix::read_maps(
      state.maps.get(),
      [&](const char* line, std::size_t length) {
        Mapping mapping;
        if (posix::parse_mapping(line, length, mapping) &&
            (same_file(mapping, state.image_device, state.image_inode) ||
             same_file(mapping, state.module_device, state.module_inode))) {
          found.push_back(std::move(mapping));
        }
        return true;
      },
      &lines);
  return read == posix::MapsRead::done && lines > 0;
}

// True when [range.start, range.end) is still mapped from the same file at
// the same file offsets: the same mapping, or pieces of it that mprotect
// split.
bool still_mapped(const CodeRange& range, const ClientCode::State& state,
                  const std::vector<Mapping>& now) {
  const dev_t device =
      range.owner == Owner::image ? state.image_device : state.module_device;
  const std::uint64_t inode =
      range.owner == Owner::image ? state.image_inode : state.module_inode;
  std::uint64_t covered = range.start;
  for (;;) {
    const auto piece = std::find_if(now.begin(), now.end(), [&](const auto& m) {
      return m.start <= covered && covered < m.end;
    });
    // The same file is still the module whatever its name: the module is
    // known by its bytes, and those are watched.
    if (piece == now.end() || !same_file(*piece, device, inode) ||
        piece->offset + (covered - piece->start) !=
            range.offset + (covered - range.start)) {
      return false;
    }
    covered = piece->end;
    if (covered >= range.end) return true;
  }
}

// The kernel's page scan (Linux 6.7 and later) walks the page tables and
// hands back only the runs of pages asked for, so a look at code that is all
// its file's copies out nothing. Declared here: older headers lack it.
struct ScanRegion {
  std::uint64_t start, end, categories;
};
struct ScanArgs {
  std::uint64_t size, flags, start, end, walk_end, vec, vec_len, max_pages,
      category_inverted, category_mask, category_anyof_mask, return_mask;
};
constexpr unsigned long kPagemapScan = _IOWR('f', 16, ScanArgs);
constexpr std::uint64_t kScanFile = 1u << 2;
constexpr std::uint64_t kScanPresent = 1u << 3;
constexpr std::uint64_t kScanSwapped = 1u << 4;
// Cleared for good when this kernel has no scan.
std::atomic<bool> g_scan_works{true};

enum class PageRead { done, gone, unsupported };

PageRead scan_private_pages(int pagemap, std::uint64_t start, std::uint64_t end,
                            std::vector<std::uint64_t>& pages) {
  ScanRegion regions[64];
  ScanArgs args{};
  args.size = sizeof args;
  args.end = end;
  args.vec = reinterpret_cast<std::uintptr_t>(regions);
  args.vec_len = sizeof regions / sizeof regions[0];
  // Not a file page, and resident or swapped out.
  args.category_inverted = kScanFile;
  args.category_mask = kScanFile;
  args.category_anyof_mask = kScanPresent | kScanSwapped;
  args.return_mask = kScanFile | kScanPresent | kScanSwapped;
  for (std::uint64_t at = start; at < end;) {
    args.start = at;
    const int found = posix::retry_on_eintr(
        [&] { return ::ioctl(pagemap, kPagemapScan, &args); });
    if (found < 0) {
      return errno == ENOTTY || errno == EINVAL ? PageRead::unsupported
                                                : PageRead::gone;
    }
    for (int i = 0; i < found; ++i) {
      for (std::uint64_t page = regions[i].start; page < regions[i].end;
           page += kPage) {
        pages.push_back(page);
      }
    }
    if (args.walk_end <= at) return PageRead::gone;
    at = args.walk_end;
  }
  return PageRead::done;
}

// Not the file's page: written since it was mapped (an anonymous copy,
// resident or swapped out).
bool is_private(std::uint64_t entry) {
  return (entry & (kPresent | kSwapped)) != 0 && (entry & kFilePage) == 0;
}

// The pages of [start, end) that are not the file's (written since they
// were mapped: anonymous copies, resident or swapped out), in order. False
// when the memory is gone or cannot be read.
bool private_pages_in(int pagemap, std::uint64_t start, std::uint64_t end,
                      std::vector<std::uint64_t>& pages) {
  pages.clear();
  if (g_scan_works.load(std::memory_order_relaxed)) {
    switch (scan_private_pages(pagemap, start, end, pages)) {
      case PageRead::done:
        return true;
      case PageRead::gone:
        return false;
      case PageRead::unsupported:
        g_scan_works.store(false, std::memory_order_relaxed);
        pages.clear();
        break;
    }
  }
  // One 8-byte entry per page.
  std::vector<std::uint64_t> entries(kEntriesPerRead);
  for (std::uint64_t at = start; at < end;) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(kEntriesPerRead, (end - at) / kPage));
    const ssize_t count = posix::retry_on_eintr([&] {
      return ::pread(pagemap, entries.data(), want * 8,
                     static_cast<off_t>(at / kPage * 8));
    });
    if (count <= 0 || count % 8 != 0) return false;
    for (std::size_t i = 0; i < static_cast<std::size_t>(count) / 8; ++i) {
      if (is_private(entries[i])) pages.push_back(at + i * kPage);
    }
    at += static_cast<std::uint64_t>(count) / 8 * kPage;
  }
  return true;
}

bool read_exactly(int fd, void* into, std::size_t size, std::uint64_t at) {
  const ssize_t count = posix::retry_on_eintr(
      [&] { return ::pread(fd, into, size, static_cast<off_t>(at)); });
  return count == static_cast<ssize_t>(size);
}

// The digest of the private pages' bytes as the process holds them now.
bool digest_private_pages(const ClientCode::State& state,
                          std::uint8_t (&digest)[32]) {
  posix::Sha256 hash;
  std::vector<unsigned char> page(kPage);
  for (const std::uint64_t address : state.private_pages) {
    if (!read_exactly(state.memory.get(), page.data(), kPage, address) ||
        !hash.update(&address, sizeof address) ||
        !hash.update(page.data(), kPage)) {
      return false;
    }
  }
  return hash.finish(digest);
}

// Whether the process's page at `address` of `range` holds the bytes of the
// file `file` at the same place.
bool page_matches_file(const ClientCode::State& state, const CodeRange& range,
                       int file, std::uint64_t address) {
  std::vector<unsigned char> in_memory(kPage), on_disk(kPage, 0);
  if (!read_exactly(state.memory.get(), in_memory.data(), kPage, address)) {
    return false;
  }
  // Past the file's end a mapping shows zeros.
  const ssize_t count = posix::retry_on_eintr([&] {
    return ::pread(file, on_disk.data(), kPage,
                   static_cast<off_t>(range.offset + (address - range.start)));
  });
  return count >= 0 && in_memory == on_disk;
}

std::string hex(std::uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), digits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return "0x" + text;
}

}  // namespace

namespace {

CodeLook watch_through(const ProcessHandle& process, UniqueFd view,
                       const ExaminedFile& image, const ExaminedFile& module,
                       ClientCode& code, std::uint64_t& image_pages_differing,
                       Error& why) {
  code.reset(nullptr);
  image_pages_differing = 0;
  auto state = std::make_unique<ClientCode::State>();
  state->directory = std::move(view);
  if (!state->directory.valid()) return CodeLook::gone;
  const int directory = state->directory.get();
  const auto open_view = [directory](const char* name) {
    return UniqueFd(posix::retry_on_eintr(
        [&] { return ::openat(directory, name, posix::kClientOpenFlags); }));
  };
  state->maps = open_view("maps");
  state->pagemap = open_view("pagemap");
  state->memory = open_view("mem");
  if (!state->maps.valid() || !state->pagemap.valid() ||
      !state->memory.valid()) {
    why = last_system_error().context("the client's memory cannot be read");
    return process_is_running(process) ? CodeLook::changed : CodeLook::gone;
  }
  state->image_device = static_cast<dev_t>(image.identity.device);
  state->image_inode = image.identity.inode;
  state->module_device = static_cast<dev_t>(module.identity.device);
  state->module_inode = module.identity.inode;

  std::vector<Mapping> mappings;
  if (!code_mappings(*state, mappings)) {
    return process_is_running(process) ? CodeLook::changed : CodeLook::gone;
  }
  bool image_runs = false, module_runs = false;
  std::vector<Mapping> executable;
  for (const Mapping& mapping : mappings) {
    if (!mapping.executable) continue;
    const Owner owner =
        same_file(mapping, state->image_device, state->image_inode)
            ? Owner::image
            : Owner::module;
    (owner == Owner::image ? image_runs : module_runs) = true;
    state->ranges.push_back(
        {owner, mapping.start, mapping.end, mapping.offset});
    executable.push_back(mapping);
  }
  // The exe link alone proves nothing: it can be pointed at a genuine file
  // while the code runs from anonymous copies.
  if (!image_runs || !module_runs) {
    why = Error(Errc::untrusted,
                std::string("the ") +
                    (image_runs ? "guard module" : "executable") +
                    "'s code is not mapped from the verified file");
    return CodeLook::changed;
  }

  std::vector<std::uint64_t> written;
  for (std::size_t i = 0; i < state->ranges.size(); ++i) {
    const CodeRange& range = state->ranges[i];
    if (!private_pages_in(state->pagemap.get(), range.start, range.end,
                          written)) {
      return process_is_running(process) ? CodeLook::changed : CodeLook::gone;
    }
    UniqueFd file;
    for (const std::uint64_t address : written) {
      if (!file.valid()) {
        file = posix::open_mapped_file(directory, executable[i]);
      }
      const bool matches =
          file.valid() && page_matches_file(*state, range, file.get(), address);
      if (range.owner == Owner::module && !matches) {
        // Ours, never packed: its code is its file's.
        why = Error(
            Errc::untrusted,
            "the guard module's code differs from its file at " + hex(address));
        return CodeLook::changed;
      }
      if (!matches) ++image_pages_differing;
      state->private_pages.push_back(address);
    }
  }
  if (!digest_private_pages(*state, state->private_digest)) {
    why = Error(Errc::other, "the client's code pages cannot be read");
    return process_is_running(process) ? CodeLook::changed : CodeLook::gone;
  }
  code.reset(std::move(state));
  return CodeLook::intact;
}

}  // namespace

CodeLook watch_client_code(const ProcessHandle& process, ProcessId pid,
                           const ExaminedFile& image,
                           const ExaminedFile& module, ClientCode& code,
                           std::uint64_t& image_pages_differing, Error& why) {
  // A view is the leader's until its thread exits while others run (its
  // maps then read empty): a watch that failed because that happened under
  // it is started again through a live thread's view.
  for (int attempt = 0;; ++attempt) {
    UniqueFd view = posix::open_process_view(process, pid);
    UniqueFd probe(view.valid() ? ::dup(view.get()) : -1);
    const CodeLook look = watch_through(process, std::move(view), image, module,
                                        code, image_pages_differing, why);
    std::string ignored;
    if (look == CodeLook::intact || attempt == 2 || !probe.valid() ||
        posix::read_link_at(probe.get(), "exe", ignored) ||
        !process_is_running(process)) {
      return look;
    }
  }
}

CodeLook look_at_client_code(ClientCode& code, CodeLookDepth depth,
                             Error& why) {
  ClientCode::State* state = code.state();
  if (state == nullptr) return CodeLook::intact;
  std::vector<Mapping> now;
  if (!code_mappings(*state, now)) return CodeLook::gone;
  for (const CodeRange& range : state->ranges) {
    if (!still_mapped(range, *state, now)) {
      why = Error(Errc::untrusted,
                  std::string("the ") + name_of(range.owner) + "'s code at " +
                      hex(range.start) +
                      " is no longer mapped from the verified file");
      return CodeLook::changed;
    }
  }
  if (depth == CodeLookDepth::mappings) return CodeLook::intact;
  std::vector<std::uint64_t> written;
  for (const CodeRange& range : state->ranges) {
    if (!private_pages_in(state->pagemap.get(), range.start, range.end,
                          written)) {
      return CodeLook::gone;
    }
    for (const std::uint64_t address : written) {
      if (!std::binary_search(state->private_pages.begin(),
                              state->private_pages.end(), address)) {
        why = Error(Errc::untrusted,
                    std::string("the ") + name_of(range.owner) +
                        "'s code was written at " + hex(address));
        return CodeLook::changed;
      }
    }
  }
  if (!state->private_pages.empty()) {
    std::uint8_t digest[32];
    if (!digest_private_pages(*state, digest)) return CodeLook::gone;
    if (std::memcmp(digest, state->private_digest, sizeof digest) != 0) {
      why = Error(Errc::untrusted,
                  "the executable's code changed since the check");
      return CodeLook::changed;
    }
  }
  return CodeLook::intact;
}

CodeLook client_code_still_runs(ClientCode& code) {
  ClientCode::State* state = code.state();
  if (state == nullptr || state->ranges.empty()) return CodeLook::intact;
  // One entry: the held view reads nothing once the memory it was opened on
  // has gone (an exec, or the end of the process).
  std::uint64_t entry = 0;
  const ssize_t count = posix::retry_on_eintr([&] {
    return ::pread(state->pagemap.get(), &entry, sizeof entry,
                   static_cast<off_t>(state->ranges.front().start / kPage * 8));
  });
  return count == 0 ? CodeLook::gone : CodeLook::intact;
}

namespace {

// Opens and hashes one other code file; false, with `why`, when its bytes
// cannot be had soundly.
bool hash_code_file(int directory, const Mapping& mapping, CodeFile& file,
                    Error& why) {
  const UniqueFd fd = posix::open_mapped_file(directory, mapping);
  struct statfs file_system {};
  if (!fd.valid() || ::fstatfs(fd.get(), &file_system) != 0 ||
      static_cast<unsigned long>(file_system.f_type) == posix::kFuseMagic) {
    why = Error(Errc::untrusted, "the code file " + mapping.pathname +
                                     " cannot be read soundly");
    return false;
  }
  // Flushed first, so that a write through a shared mapping of it moves its
  // times from now on (see times_follow_every_write).
  if (::fdatasync(fd.get()) != 0 && errno != EINVAL) {
    why = Error(Errc::other,
                "the code file " + mapping.pathname + " cannot be flushed");
    return false;
  }
  if (posix::hash_open_file(fd.get(), kMaxImageBytes, nullptr, nullptr,
                            file.digest) != ExamineOutcome::examined) {
    why = Error(Errc::other,
                "the code file " + mapping.pathname + " cannot be hashed");
    return false;
  }
  return true;
}

}  // namespace

CodeLook list_code_files(ClientCode& code, const std::vector<CodeFile>& known,
                         std::vector<CodeFile>& files, Error& why) {
  files.clear();
  ClientCode::State* state = code.state();
  if (state == nullptr) return CodeLook::intact;
  std::vector<Mapping> others;
  std::size_t lines = 0;
  const posix::MapsRead read = posix::read_maps(
      state->maps.get(),
      [&](const char* line, std::size_t length) {
        Mapping mapping;
        if (!posix::parse_mapping(line, length, mapping) ||
            !mapping.executable || mapping.inode == 0 ||
            same_file(mapping, state->image_device, state->image_inode) ||
            same_file(mapping, state->module_device, state->module_inode)) {
          return true;
        }
        for (const Mapping& seen : others) {
          if (same_file(seen, mapping.device(), mapping.inode)) return true;
        }
        others.push_back(std::move(mapping));
        return others.size() <= kMaxCodeFiles;
      },
      &lines);
  if (read == posix::MapsRead::done && lines == 0) return CodeLook::gone;
  if (read == posix::MapsRead::unreadable || others.size() > kMaxCodeFiles) {
    why = Error(Errc::other, "the client's code files cannot be listed");
    return CodeLook::changed;
  }
  // Looked at through map_files without opening (stat and statfs raise no
  // event the client could watch); opened only to be hashed.
  const std::string view =
      "/proc/self/fd/" + std::to_string(state->directory.get()) + "/map_files/";
  for (const Mapping& mapping : others) {
    const std::string entry = view + mapping.range;
    struct stat info {};
    if (::stat(entry.c_str(), &info) != 0) {
      if (errno == ENOENT) continue;  // unmapped since: it runs no more
      why = Error(Errc::other,
                  "the code file " + mapping.pathname + " cannot be examined");
      return CodeLook::changed;
    }
    CodeFile file;
    file.path = mapping.pathname;
    file.identity = posix::identity_of(info);
    file.system_file =
        S_ISREG(info.st_mode) && info.st_uid == 0 && (info.st_mode & 022) == 0;
    if (!file.system_file) {
      struct statfs file_system {};
      const bool identity_tells =
          ::statfs(entry.c_str(), &file_system) == 0 &&
          posix::times_follow_every_write(
              static_cast<unsigned long>(file_system.f_type));
      const auto same =
          std::find_if(known.begin(), known.end(), [&](const CodeFile& seen) {
            return !seen.system_file &&
                   same_version(seen.identity, file.identity);
          });
      if (identity_tells && same != known.end()) {
        std::memcpy(file.digest, same->digest, sizeof file.digest);
      } else if (!hash_code_file(state->directory.get(), mapping, file, why)) {
        return CodeLook::changed;
      }
    }
    files.push_back(std::move(file));
  }
  return CodeLook::intact;
}

}  // namespace vorn::os
