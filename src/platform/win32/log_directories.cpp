// The log's folders: the service runs as LocalSystem and writes below
// ProgramData, where every user may create folders. Whoever could plant a
// junction or symbolic link at "VORN" or "ClientService" could make the
// service append to a file of their choosing. So each level is created with
// a DACL that lets only SYSTEM and Administrators write, each level that
// exists is opened without following a reparse point and checked through its
// handle, and the handle is held (without FILE_SHARE_DELETE, so the level
// cannot be renamed or removed) until the caller is done below it.
#include "platform/win32/log_directories.h"

// windows.h first (through the header): these need its types.
#include <aclapi.h>
#include <sddl.h>

namespace vorn::os::win32 {

namespace {

// Full control for SYSTEM and Administrators, read and traverse for Users;
// protected, so nothing is inherited from ProgramData (whose DACL lets every
// user create folders and files).
constexpr char kProtectiveSddl[] =
    "D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGX;;;BU)";

bool plain_directory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool apply_protective_dacl(HANDLE directory, PSECURITY_DESCRIPTOR protective) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(protective, &present, &dacl, &defaulted) ||
      !present || dacl == nullptr) {
    return false;
  }
  return SetSecurityInfo(
             directory, SE_FILE_OBJECT,
             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
             nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

// Decides whether an opened level may be used. An untrusted owner could
// change the DACL back at any time, so such a level is refused for good (an
// administrator has to remove it). A trusted owner with a DACL that lets
// others write (a level made by an installer or an older release, which
// inherited ProgramData's DACL) gets the protective DACL; what others planted
// inside meanwhile is checked like everything else, level by level.
// Why not, after the level's `path`; none when the level may be used.
Error directory_distrust(HANDLE directory, const std::string& path,
                         PSECURITY_DESCRIPTOR protective,
                         const TrustedAccounts& accounts) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(directory, &information) ||
      !plain_directory(information.dwFileAttributes)) {
    return Error(Errc::untrusted, path + " is not a plain directory");
  }
  switch (protection_of(directory, accounts)) {
    case Protection::unreadable:
      return Error(Errc::untrusted,
                   path + " has a security descriptor that cannot be read");
    case Protection::untrusted_owner:
      return Error(Errc::untrusted,
                   path +
                       " is owned by an account other than SYSTEM and "
                       "Administrators (remove it, or let an administrator "
                       "take it over)");
    case Protection::trusted:
      return Error();
    case Protection::others_may_change:
      break;
  }
  if (apply_protective_dacl(directory, protective)) return Error();
  return Error(Errc::untrusted,
               path +
                   " lets other accounts write, and its protection cannot be "
                   "restored");
}

}  // namespace

LocalMemory protective_descriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
          kProtectiveSddl, SDDL_REVISION_1, &descriptor, nullptr)) {
    return LocalMemory();
  }
  return LocalMemory(descriptor);
}

bool plain_file(DWORD attributes) {
  return (attributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:") == std::string::npos;
}

Error open_log_directories(const std::string& base,
                           const std::vector<std::string>& levels,
                           PSECURITY_DESCRIPTOR protective,
                           const TrustedAccounts& accounts,
                           std::list<UniqueHandle>& held, std::string& path,
                           bool create, bool* missing) {
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), protective, FALSE};
  path = base;
  for (const std::string& level : levels) {
    if (!plain_name(level)) {
      return Error(Errc::invalid, "bad folder name " + level);
    }
    path += '\\';
    path += level;
    // Usually fails because the level exists; the checks decide.
    if (create) CreateDirectoryA(path.c_str(), &attributes);
    const DWORD found = GetFileAttributesA(path.c_str());
    // Wine shows a Unix symbolic link as a reparse point only by path (its
    // handle opens the target); on Windows the handle below tells as well.
    if (found == INVALID_FILE_ATTRIBUTES) {
      Error failure = last_system_error().context(path);
      if (missing != nullptr && (failure.native() == ERROR_FILE_NOT_FOUND ||
                                 failure.native() == ERROR_PATH_NOT_FOUND)) {
        *missing = true;
      }
      return failure;
    }
    if (!plain_directory(found)) {
      return Error(
          Errc::untrusted,
          path + " is a link, junction or file, not a plain directory");
    }
    held.emplace_back(CreateFileA(
        path.c_str(), READ_CONTROL | WRITE_DAC,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!held.back().valid()) return last_system_error().context(path);
    if (Error distrust =
            directory_distrust(held.back().get(), path, protective, accounts)) {
      return distrust;
    }
  }
  return Error();
}

}  // namespace vorn::os::win32
