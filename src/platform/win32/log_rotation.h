// Windows rotates service.log itself (Linux leaves it to logrotate): once
// the log has reached kLogRotateBytes, the next line first renames
// service.log to service.log.1, service.log.1 to service.log.2, and so on up
// to service.log.<kLogsKept>, dropping the oldest, and then starts a new
// service.log. All of it happens under the log's lock, between two lines,
// so no line is lost or split and every byte stays as written.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/win32/file_security.h"

namespace vorn::os::win32 {

constexpr std::uint64_t kLogRotateBytes = 10ull << 20;
constexpr int kLogsKept = 8;

// Why a log file opened with READ_CONTROL (without following a reparse
// point) may not be written, renamed or deleted: not a plain file, a second
// name (a hard link), an untrusted owner. None when it may.
Error log_file_distrust(HANDLE file, const std::string& path,
                        const TrustedAccounts& accounts);

// Renames `name` to `name`.1 and each `name`.N to `name`.N+1 inside the
// folder `folder` (a path whose levels the caller holds), dropping
// `name`.<kept>. Each file is opened as itself (a link is never followed)
// and checked with log_file_distrust before anything is done; one that
// fails, or cannot be opened to be renamed, leaves everything as it was,
// and the failure says why.
Error rotate_log_files(const std::string& folder, const std::string& name,
                       int kept, const TrustedAccounts& accounts);

// append_to_log_file with the size that starts a rotation and the number of
// old logs kept given. Fails when not all was written; `rotation` names a
// rotation that was due but refused (the line went to the log as it was).
// A rotation needs at least one level below `base`.
Error append_to_rotating_log(const std::string& base,
                             const std::vector<std::string>& levels,
                             const std::string& file_name,
                             const std::string& bytes,
                             std::uint64_t rotate_bytes, int kept,
                             Error& rotation);

}  // namespace vorn::os::win32
