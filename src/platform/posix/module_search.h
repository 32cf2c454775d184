// Finding the guard module among a client's mappings by what it is: a shared
// object whose SONAME is the module's, read from the very file mapped, not by
// the name the file happens to have (a game may ship it as libvorn_guard.so,
// as libvorn_guard.so.1 or under a name of its own).
#pragma once

#include "platform/posix/fd_util.h"
#include "platform/posix/proc_view.h"

namespace vorn::os::posix {

enum class ModuleSearch { found, not_found, unreadable };

// Looks through the executable file mappings of the process whose /proc
// directory is `process_directory`: those whose name looks like the module's
// first, the others only when none of those is it, each file once and at
// most kMaxCodeFiles of them.
//   found       `mapping` is the module's, and `file` its file, open: a
//               regular file off FUSE whose SONAME is the module's
//   unreadable  maps cannot be read (`mapping` left empty), or a file named
//               like the module cannot be read soundly (it cannot be opened,
//               or is on FUSE) and no other is the module (`mapping` is
//               that one, so the caller can say why)
//   not_found   no file mapped is the module
ModuleSearch find_guard_module(int process_directory, Mapping& mapping,
                               UniqueFd& file);

}  // namespace vorn::os::posix
