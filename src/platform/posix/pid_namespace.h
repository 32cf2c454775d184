// The pid a process knows itself by: a process in a pid namespace of its
// own (a sandboxed game's) reads another number from getpid() than the
// service sees.
#pragma once

#include <string>

#include "platform/types.h"

namespace vorn::os::posix {

// The last number of the "NSpid:" line of a /proc status or pidfd fdinfo
// text: the pid in the process's innermost namespace. The line must end with
// a line feed (a cut one could end in a shorter number) and hold only pids;
// an ended process shows -1 there, one outside the reader's namespaces 0.
bool innermost_pid_in(const std::string& text, ProcessId& pid);

}  // namespace vorn::os::posix
