// Who may own and change a file or folder the service relies on: the log's
// folders (log_directories.cpp) and the trusted-digest list
// (trusted_digests_file.cpp), and the system files that the strict code
// policy admits unhashed (code_files.cpp).
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

namespace vorn::os::win32 {

// Memory the security calls hand out, released with LocalFree.
struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreeDeleter>;

class TrustedAccounts {
 public:
  enum class Kind {
    // SYSTEM, Administrators and this process's account (SYSTEM for the
    // service itself) may own and change.
    configuration,
    // Owned by SYSTEM, TrustedInstaller or Administrators, as the system's
    // own files are; those and this process's account may change. Not owned
    // by this process's account: under a test it is the user's own.
    system_files,
  };
  explicit TrustedAccounts(Kind kind = Kind::configuration);

  bool may_own(PSID sid) const;
  bool may_change(PSID sid) const;

 private:
  bool administrative(PSID sid) const;
  Kind kind_;
  std::vector<unsigned char> token_user_;
  std::vector<unsigned char> trusted_installer_;
};

enum class Protection {
  trusted,            // a trusted owner, and only trusted accounts may change
  unreadable,         // its security cannot be read
  untrusted_owner,    // anybody could be given the right to change it
  others_may_change,  // the DACL lets another account change it
};

// The owner and DACL of an object opened with READ_CONTROL.
Protection protection_of(HANDLE object, const TrustedAccounts& accounts);

}  // namespace vorn::os::win32
