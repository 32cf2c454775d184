// SHA-256 of files with libcrypto, in 64 KiB chunks.
#include "platform/posix/file_hash.h"

// libcrypto's own SHA-256, without the EVP layer: linked statically into
// the guard module, EVP brings its providers, their algorithms and curve
// tables (megabytes) for one digest. The same code, with its SHA extensions
// path, runs below EVP. Kept for all of OpenSSL 3, deprecated only in name.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/posix/fd_util.h"

namespace vorn::os {

namespace {

constexpr std::size_t kHashChunk = 64 * 1024;
constexpr std::size_t kChunksBetweenChecks = 16;

}  // namespace

namespace posix {

namespace {

// Feeds `count` bytes read at offset `total` to the hash and to `split`.
bool feed(Sha256& hasher, const unsigned char* bytes, std::size_t count,
          std::uint64_t total, SplitRead* split) {
  if (split == nullptr || total + count < split->at) {
    return hasher.update(bytes, count);
  }
  std::size_t before = 0;
  if (!split->reached) {
    before = static_cast<std::size_t>(split->at - total);
    if (!hasher.update(bytes, before) ||
        !hasher.finish_copy(split->head_digest)) {
      return false;
    }
    split->reached = true;
  }
  const std::size_t room = split->most - split->rest.size();
  const std::size_t kept = count - before < room ? count - before : room;
  split->rest.insert(split->rest.end(), bytes + before, bytes + before + kept);
  if (kept < count - before) split->rest_whole = false;
  return hasher.update(bytes + before, count - before);
}

}  // namespace

ExamineOutcome hash_open_file(int fd, std::uint64_t limit, KeepGoing keep_going,
                              void* context, std::uint8_t (&digest)[32],
                              SplitRead* split) {
  Sha256 hasher;
  std::vector<unsigned char> chunk(kHashChunk);
  std::uint64_t total = 0;
  for (std::size_t chunks = 0;; ++chunks) {
    // Asked every megabyte: often enough to stop within milliseconds, seldom
    // enough to cost nothing beside the hash.
    if (keep_going != nullptr && chunks % kChunksBetweenChecks == 0 &&
        !keep_going(context)) {
      return ExamineOutcome::cancelled;
    }
    const ssize_t count = posix::retry_on_eintr(
        [&] { return ::read(fd, chunk.data(), chunk.size()); });
    if (count < 0) return ExamineOutcome::unreadable;
    if (count == 0) break;
    // The file may grow while it is read.
    total += static_cast<std::uint64_t>(count);
    if (total > limit) return ExamineOutcome::too_large;
    if (!feed(hasher, chunk.data(), static_cast<std::size_t>(count),
              total - static_cast<std::uint64_t>(count), split)) {
      return ExamineOutcome::unreadable;
    }
  }
  // A split at the very end (or in an empty file) is met by no byte.
  if (split != nullptr && !feed(hasher, chunk.data(), 0, total, split)) {
    return ExamineOutcome::unreadable;
  }
  return hasher.finish(digest) ? ExamineOutcome::examined
                               : ExamineOutcome::unreadable;
}

Sha256::Sha256() : context_(new (std::nothrow) SHA256_CTX) {
  if (context_ != nullptr &&
      SHA256_Init(static_cast<SHA256_CTX*>(context_)) != 1) {
    delete static_cast<SHA256_CTX*>(context_);
    context_ = nullptr;
  }
}

Sha256::~Sha256() { delete static_cast<SHA256_CTX*>(context_); }

bool Sha256::update(const void* data, std::size_t size) {
  return context_ != nullptr &&
         SHA256_Update(static_cast<SHA256_CTX*>(context_), data, size) == 1;
}

bool Sha256::finish(std::uint8_t (&digest)[32]) {
  return context_ != nullptr &&
         SHA256_Final(digest, static_cast<SHA256_CTX*>(context_)) == 1;
}

bool Sha256::finish_copy(std::uint8_t (&digest)[32]) const {
  if (context_ == nullptr) return false;
  SHA256_CTX copy = *static_cast<const SHA256_CTX*>(context_);
  return SHA256_Final(digest, &copy) == 1;
}

}  // namespace posix

bool sha256_file(const std::string& path, std::uint8_t (&digest)[32]) {
  // O_NONBLOCK: a FIFO put in place of the file must not hang the caller.
  posix::UniqueFd fd(posix::retry_on_eintr([&] {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  }));
  if (!fd.valid()) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return posix::hash_open_file(fd.get(), UINT64_MAX, nullptr, nullptr,
                               digest) == ExamineOutcome::examined;
}

bool file_version(const std::string& path, FileIdentity& identity) {
  posix::UniqueFd fd(posix::retry_on_eintr([&] {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  }));
  struct stat info {};
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
  identity = posix::identity_of(info);
  return true;
}

}  // namespace vorn::os
