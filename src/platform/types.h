// The handles that pass between the platform's parts and the portable code.
#pragma once

#include <array>
#include <cstdint>

#include "platform/owned.h"

namespace vorn::os {

using ProcessId = std::uint32_t;

struct PipeKind {
  // CloseHandle / close. The instance no longer counts against the limit.
  static void close(std::intptr_t raw);
};
struct ProcessKind {
  static void close(std::intptr_t raw);
};

// One connected server-side pipe instance (Windows HANDLE) or connected
// SEQPACKET socket (POSIX fd). Owned by exactly one thread at a time.
class PipeHandle : public Owned<PipeKind> {
 public:
  PipeHandle() = default;
  PipeHandle(std::intptr_t raw, std::uint64_t connected)
      : Owned(raw), connected_at(connected) {}
  // When the listener saw the connection, on the clock that process start
  // times use (Windows: FILETIME; POSIX: CLOCK_BOOTTIME nanoseconds). A
  // process that started later cannot be the client.
  std::uint64_t connected_at = 0;
};

// A process handle opened for a session: wait, query, terminate (a pidfd on
// POSIX). Not open for the null handle.
using ProcessHandle = Owned<ProcessKind>;

// What identifies one version of a file, where the OS names one (POSIX:
// device, inode, size, mtime, ctime). `known` is false where it does not
// (Windows); the caller then re-hashes. A different identity always means a
// changed file; the same one proves unchanged bytes only on file systems
// that stamp every write (see the POSIX inspection). `device` and `inode` may
// be filled without `known` to tell one file from another.
struct FileIdentity {
  bool known = false;
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t modified_ns = 0, changed_ns = 0;
  // Its names (POSIX); not part of the version: a file renamed over or
  // deleted is the same version with none.
  std::uint64_t links = 0;
  // Taken, after a flush, on a file system that stamps every write: the same
  // identity later means the same bytes.
  bool stamped = false;
};

// The same version of the same file; never for an unknown identity.
inline bool same_version(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode &&
         a.size == b.size && a.modified_ns == b.modified_ns &&
         a.changed_ns == b.changed_ns;
}

// Who signed a client file, as its signature names them once that signature
// has been verified over the file's bytes. POSIX: the Ed25519 public key of
// the signature appended to the file; Windows: the SHA-256 thumbprint of each
// certificate in the Authenticode signer's chain, the signer's own first.
enum class SignerKind { ed25519_key, certificate };
struct Signer {
  SignerKind kind = SignerKind::ed25519_key;
  std::array<std::uint8_t, 32> id{};
  bool operator==(const Signer& other) const {
    return kind == other.kind && id == other.id;
  }
};

}  // namespace vorn::os
