// What the POSIX runtime files share with each other and nothing else: the
// stop event's descriptor (the listener waits on it) and the book of accepted
// connections (the listener fills it, closing the pipe empties it).
#pragma once

#include <cstdint>

#include "platform/runtime.h"

namespace vorn::os::posix {

// Now on CLOCK_BOOTTIME, the clock of process start times, in nanoseconds.
std::uint64_t boot_time_now_ns();
// When process `pid` started, on the same clock (to the kernel's clock-tick
// resolution, rounded down). False when it cannot be read.
bool process_start_time_ns(ProcessId pid, std::uint64_t& started_at);

// The stop event's eventfd, or -1 before stop_event_create succeeded.
int stop_event_fd();

// Forgets a connection that accept_client handed out, so it no longer counts
// against the session limit. Descriptors that were never accepted (a socket
// pair in a test, say) are ignored. Called before the descriptor is closed.
void forget_accepted_connection(int fd);

}  // namespace vorn::os::posix
