// Files signed and read through a private read-only mapping, so that a
// game of gigabytes is never copied into memory.
#include "sign_tool/signed_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/appended_signature.h"
#include "platform/posix/fd_util.h"
#include "platform/posix/file_hash.h"
#include "platform/posix/signature_check.h"

namespace vorn::sign {

namespace {

using os::posix::UniqueFd;

// A whole regular file, mapped for reading.
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (bytes_ != nullptr) ::munmap(bytes_, size_);
  }

  os::Error open(const std::string& path) {
    // A link is refused: the rename would put a file in its place.
    file_.reset(os::posix::retry_on_eintr([&] {
      return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }));
    if (!file_.valid()) return os::last_system_error();
    if (::fstat(file_.get(), &info_) != 0) return os::last_system_error();
    if (!S_ISREG(info_.st_mode)) {
      return os::Error(os::Errc::invalid, "not a regular file");
    }
    size_ = static_cast<std::size_t>(info_.st_size);
    if (size_ == 0) return os::Error();
    void* mapped =
        ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, file_.get(), 0);
    if (mapped == MAP_FAILED) return os::last_system_error();
    bytes_ = static_cast<std::uint8_t*>(mapped);
    return os::Error();
  }

  const std::uint8_t* bytes() const { return bytes_; }
  std::size_t size() const { return size_; }
  const struct stat& info() const { return info_; }

 private:
  UniqueFd file_;
  struct stat info_ {};
  std::uint8_t* bytes_ = nullptr;
  std::size_t size_ = 0;
};

// Writes `head` then `tail` to a new file beside `path`, with `info`'s mode
// and owner, and renames it over `path`.
os::Error replace_file(const std::string& path, const struct stat& info,
                       const std::uint8_t* head, std::size_t head_size,
                       const std::vector<std::uint8_t>& tail) {
  std::string temporary = path + ".signing-XXXXXX";
  const UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file.valid()) return os::last_system_error().context(temporary);
  // Root signing another account's build leaves it that account's.
  os::Error error;
  if (::geteuid() == 0 && ::fchown(file.get(), info.st_uid, info.st_gid) != 0) {
    error = os::last_system_error();
  }
  if (!error && ::fchmod(file.get(), info.st_mode & 07777) != 0) {
    error = os::last_system_error();
  }
  if (!error) error = os::posix::write_fully(file.get(), head, head_size);
  if (!error) {
    error = os::posix::write_fully(file.get(), tail.data(), tail.size());
  }
  if (!error && ::fsync(file.get()) != 0) error = os::last_system_error();
  if (!error && ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = os::last_system_error();
  }
  if (error) {
    ::unlink(temporary.c_str());
    return error.context(temporary);
  }
  return os::Error();
}

}  // namespace

os::Error signature_tail_for(const std::uint8_t* covered, std::size_t size,
                             const SigningKey& key,
                             std::vector<std::uint8_t>& tail) {
  os::posix::Sha256 hasher;
  std::uint8_t digest[32] = {};
  if (!hasher.update(covered, size) || !hasher.finish(digest)) {
    return os::Error(os::Errc::no_resources, "cannot hash the file");
  }
  os::posix::SignatureBlock block;
  block.public_key = public_key_of(key);
  if (os::Error error = sign_message(key, os::posix::signed_message(digest),
                                     block.signature)) {
    return error;
  }
  tail = os::posix::signature_tail(block);
  return os::Error();
}

os::Error sign_file(const std::string& path, const SigningKey& key) {
  MappedFile file;
  if (os::Error error = file.open(path)) return error.context(path);
  const std::size_t end = file.size() < os::posix::kSignatureTrailerBytes
                              ? file.size()
                              : os::posix::kSignatureTrailerBytes;
  std::uint64_t covered = 0;
  if (os::posix::find_signature(file.bytes() + file.size() - end, end,
                                file.size(), covered) ==
      os::posix::SignatureFraming::malformed) {
    // Not replaced: whatever ends the file is not a signature of ours.
    return os::posix::malformed_signature().context(path);
  }
  std::vector<std::uint8_t> tail;
  if (os::Error error = signature_tail_for(
          file.bytes(), static_cast<std::size_t>(covered), key, tail)) {
    return error.context(path);
  }
  return replace_file(path, file.info(), file.bytes(),
                      static_cast<std::size_t>(covered), tail);
}

os::Error signers_of_file(const std::string& path,
                          std::vector<os::Signer>& signers) {
  signers.clear();
  MappedFile file;
  if (os::Error error = file.open(path)) return error;
  return os::posix::check_signed_bytes(file.bytes(), file.size(), signers);
}

}  // namespace vorn::sign
