// What the integrity check learns about a client process from /proc, and the
// hashing of files.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/fd_util.h"

namespace vorn::os {

namespace {

constexpr char kGuardModuleName[] = "libvorn_guard.so";
constexpr char kDeletedSuffix[] = " (deleted)";
constexpr std::size_t kHashChunk = 64 * 1024;

std::string proc_path(ProcessId pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

bool read_whole_file(const std::string& path, std::string& contents) {
  posix::UniqueFd fd(posix::retry_on_eintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) return false;
  contents.clear();
  char chunk[8192];
  for (;;) {
    const ssize_t count = posix::retry_on_eintr(
        [&] { return ::read(fd.get(), chunk, sizeof chunk); });
    if (count < 0) return false;
    if (count == 0) return true;
    contents.append(chunk, static_cast<std::size_t>(count));
  }
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The pathname column of one /proc/<pid>/maps line: what follows the five
// fields address, perms, offset, dev and inode. Empty for anonymous maps.
std::string maps_pathname(const std::string& line) {
  std::size_t position = 0;
  for (int field = 0; field < 5; ++field) {
    position = line.find_first_not_of(' ', position);
    if (position == std::string::npos) return "";
    position = line.find(' ', position);
    if (position == std::string::npos) return "";
  }
  position = line.find_first_not_of(' ', position);
  if (position == std::string::npos) return "";
  return line.substr(position);
}

bool names_guard_module(const std::string& pathname) {
  if (pathname.empty() || pathname[0] != '/') return false;
  // A module whose file was deleted or replaced still counts as loaded; the
  // literal path then fails to hash, which the check reports as a mismatch.
  std::string file = pathname;
  if (ends_with(file, kDeletedSuffix)) {
    file.resize(file.size() - (sizeof kDeletedSuffix - 1));
  }
  return file.substr(file.rfind('/') + 1) == kGuardModuleName;
}

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

bool process_image_path(ProcessId pid, std::string& path) {
  if (pid == 0) return false;
  return posix::read_link(proc_path(pid, "exe"), path);
}

ModuleLookup process_guard_module_path(ProcessId pid, std::string& path) {
  std::string maps;
  if (pid == 0 || !read_whole_file(proc_path(pid, "maps"), maps)) {
    return ModuleLookup::inaccessible;
  }
  std::size_t start = 0;
  while (start < maps.size()) {
    std::size_t end = maps.find('\n', start);
    if (end == std::string::npos) end = maps.size();
    const std::string pathname = maps_pathname(maps.substr(start, end - start));
    if (names_guard_module(pathname)) {
      path = pathname;
      return ModuleLookup::found;
    }
    start = end + 1;
  }
  return ModuleLookup::not_loaded;
}

bool sha256_file(const std::string& path, std::uint8_t (&digest)[32]) {
  // O_NONBLOCK: a FIFO put in place of the file must not hang the check.
  posix::UniqueFd fd(posix::retry_on_eintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
  if (!fd.valid()) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;

  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context ||
      EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return false;
  }
  std::vector<unsigned char> chunk(kHashChunk);
  for (;;) {
    const ssize_t count = posix::retry_on_eintr(
        [&] { return ::read(fd.get(), chunk.data(), chunk.size()); });
    if (count < 0) return false;
    if (count == 0) break;
    if (EVP_DigestUpdate(context.get(), chunk.data(),
                         static_cast<std::size_t>(count)) != 1) {
      return false;
    }
  }
  unsigned int length = 0;
  unsigned char result[EVP_MAX_MD_SIZE];
  if (EVP_DigestFinal_ex(context.get(), result, &length) != 1 || length != 32) {
    return false;
  }
  for (std::size_t i = 0; i < 32; ++i) digest[i] = result[i];
  return true;
}

FileIdentity file_identity(const std::string& path) {
  FileIdentity identity;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return identity;
  identity.known = true;
  identity.device = static_cast<std::uint64_t>(info.st_dev);
  identity.inode = static_cast<std::uint64_t>(info.st_ino);
  identity.size = static_cast<std::uint64_t>(info.st_size);
  identity.modified_ns =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000LL +
      static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  identity.changed_ns =
      static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000LL +
      static_cast<std::int64_t>(info.st_ctim.tv_nsec);
  return identity;
}

}  // namespace vorn::os
