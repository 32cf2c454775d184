// The handles that pass between the platform's parts and the portable code.
#pragma once

#include <cstdint>

namespace vorn::os {

using ProcessId = std::uint32_t;

// One connected server-side pipe instance (Windows HANDLE) or connected
// SEQPACKET socket (POSIX fd). Owned by exactly one thread at a time.
struct PipeHandle {
  std::intptr_t raw = -1;
  // When the listener saw the connection, on the clock that process start
  // times use (Windows: FILETIME; POSIX: CLOCK_BOOTTIME nanoseconds). A
  // process that started later cannot be the client.
  std::uint64_t connected_at = 0;
};

// A process handle opened for a session: wait, query, terminate (a pidfd on
// POSIX). `open` is false for the null handle.
struct ProcessHandle {
  std::intptr_t raw = 0;
  bool open = false;
};

}  // namespace vorn::os
