#include "pipe/client_process.h"

#include "platform/runtime.h"

namespace vorn {

bool ClientProcess::is_running() const {
  return os::process_is_running(process_);
}

bool ClientProcess::innermost_pid(os::ProcessId& pid) const {
  return os::process_innermost_pid(process_, pid);
}

void ClientProcess::terminate() const { os::process_terminate(process_); }

}  // namespace vorn
