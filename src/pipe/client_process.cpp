#include "pipe/client_process.h"

#include "platform/runtime.h"

namespace vorn {

ClientProcess::ClientProcess(ClientProcess&& other) noexcept
    : process_(other.process_) {
  other.process_ = os::ProcessHandle();
}

ClientProcess& ClientProcess::operator=(ClientProcess&& other) noexcept {
  if (this != &other) {
    close();
    process_ = other.process_;
    other.process_ = os::ProcessHandle();
  }
  return *this;
}

bool ClientProcess::is_running() const {
  return os::process_is_running(process_);
}

bool ClientProcess::innermost_pid(os::ProcessId& pid) const {
  return os::process_innermost_pid(process_, pid);
}

void ClientProcess::terminate() const { os::process_terminate(process_); }

void ClientProcess::close() {
  if (process_.open) os::process_close(process_);
  process_ = os::ProcessHandle();
}

}  // namespace vorn
