// The service's protected folders below ProgramData: made and checked level
// by level, for the log (log_files.cpp) and the trusted-digest list kept
// beside it (trusted_digests_file.cpp).
#pragma once

#include <windows.h>

#include <list>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/win32/file_security.h"
#include "platform/win32/win32_handle.h"

namespace vorn::os::win32 {

// The DACL a level is made with: full control for SYSTEM and
// Administrators, read and traverse for Users. Empty when it cannot be made.
LocalMemory protective_descriptor();

// Neither a directory nor a reparse point.
bool plain_file(DWORD attributes);

// A name inside a directory, never a path that could pass through further
// levels unchecked.
bool plain_name(const std::string& name);

// Creates (when `create`) and checks each level below `base`. The handles of
// the levels that passed stay in `held` until the caller is done with the
// innermost one, `path`. Fails, saying which level and why, when one is
// missing (then also setting `*missing`, when given), a link or untrusted.
Error open_log_directories(const std::string& base,
                           const std::vector<std::string>& levels,
                           PSECURITY_DESCRIPTOR protective,
                           const TrustedAccounts& accounts,
                           std::list<UniqueHandle>& held, std::string& path,
                           bool create = true, bool* missing = nullptr);

}  // namespace vorn::os::win32
