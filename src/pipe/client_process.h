// The client process of one connection, held from the moment the connection
// was seen: the only handle through which the service waits for, inspects or
// terminates its client.
#pragma once

#include <utility>

#include "platform/types.h"

namespace vorn {

class ClientProcess {
 public:
  ClientProcess() = default;
  // Takes over `process`, which nobody else closes.
  explicit ClientProcess(os::ProcessHandle process)
      : process_(std::move(process)) {}

  bool is_open() const { return process_.open(); }
  // Still running (a zero-timeout wait); false once it has ended.
  bool is_running() const;
  // Its pid in its own innermost pid namespace (its getpid()); false when
  // that cannot be told.
  bool innermost_pid(os::ProcessId& pid) const;
  // Ends it without waiting (TerminateProcess / SIGKILL through the pidfd).
  void terminate() const;
  // Lent to a call that must not keep it (inspection, enforcement).
  const os::ProcessHandle& handle() const { return process_; }
  // Releases the handle; nothing once released.
  void close() { process_.close(); }

 private:
  os::ProcessHandle process_;
};

}  // namespace vorn
