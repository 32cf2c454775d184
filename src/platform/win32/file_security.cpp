// The owner and DACL checks that decide whether a file or folder can only
// have been written by an administrator.
#include "platform/win32/file_security.h"

// windows.h first (through the header): these need its types.
#include <aclapi.h>

#include "platform/win32/win32_handle.h"

namespace vorn::os::win32 {

namespace {

// Any right that would let an account change a file, plant or swap
// something in a directory, or change who may.
constexpr ACCESS_MASK kChangingRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
    FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
    GENERIC_ALL;

// NT SERVICE\TrustedInstaller, which owns the files Windows installs.
constexpr DWORD kTrustedInstaller[] = {80,         956008885,  3418522649,
                                       1831038044, 1853292631, 2271478464};

// True when no allowing entry gives a changing right to an untrusted
// account. A null DACL allows everything; entry kinds the service never
// writes (object, callback) count as letting others in.
bool only_trusted_may_change(PACL dacl, const TrustedAccounts& accounts) {
  if (dacl == nullptr) return false;
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(dacl, index, &entry)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    switch (header->AceType) {
      case ACCESS_DENIED_ACE_TYPE:
      case ACCESS_DENIED_OBJECT_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        continue;
      case ACCESS_ALLOWED_ACE_TYPE:
        break;
      default:
        return false;
    }
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & kChangingRights) == 0) continue;
    if (!accounts.may_change(reinterpret_cast<PSID>(&allowed->SidStart))) {
      return false;
    }
  }
  return true;
}

}  // namespace

TrustedAccounts::TrustedAccounts(Kind kind) : kind_(kind) {
  if (kind_ == Kind::system_files) {
    constexpr BYTE kCount = sizeof kTrustedInstaller / sizeof(DWORD);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    trusted_installer_.resize(GetSidLengthRequired(kCount));
    if (InitializeSid(trusted_installer_.data(), &nt, kCount)) {
      for (BYTE i = 0; i < kCount; ++i) {
        *GetSidSubAuthority(trusted_installer_.data(), i) =
            kTrustedInstaller[i];
      }
    } else {
      trusted_installer_.clear();
    }
  }
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return;
  const UniqueHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return;
  token_user_.resize(size);
  if (!GetTokenInformation(token.get(), TokenUser, token_user_.data(), size,
                           &size)) {
    token_user_.clear();
  }
}

bool TrustedAccounts::administrative(PSID sid) const {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  if (IsWellKnownSid(sid, WinLocalSystemSid) ||
      IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
    return true;
  }
  return !trusted_installer_.empty() &&
         EqualSid(sid, const_cast<unsigned char*>(trusted_installer_.data())) !=
             FALSE;
}

bool TrustedAccounts::may_own(PSID sid) const {
  if (kind_ == Kind::system_files) return administrative(sid);
  return may_change(sid);
}

bool TrustedAccounts::may_change(PSID sid) const {
  if (administrative(sid)) return true;
  if (sid == nullptr || !IsValidSid(sid) || token_user_.empty()) return false;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(token_user_.data());
  return EqualSid(sid, user->User.Sid) != FALSE;
}

Protection protection_of(HANDLE object, const TrustedAccounts& accounts) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetSecurityInfo(object, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &dacl, nullptr, &raw) != ERROR_SUCCESS) {
    return Protection::unreadable;
  }
  const LocalMemory descriptor(raw);
  if (!accounts.may_own(owner)) return Protection::untrusted_owner;
  if (!only_trusted_may_change(dacl, accounts)) {
    return Protection::others_may_change;
  }
  return Protection::trusted;
}

}  // namespace vorn::os::win32
