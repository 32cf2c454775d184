// What the module's calls and its thread both report: the last error, the
// heartbeat statistics and whether a session is connected. Each sits behind
// its own lock (or is atomic), so a caller may read while the thread writes.
#pragma once

#include <cstdint>
#include <string>

#include "vorn_guard.h"

namespace vorn::guard {

void set_last_error(const std::string& text);
// The last error in a private copy per thread, so a caller never reads the
// buffer while the module's thread rewrites it.
const char* last_error_copy();

void reset_stats();
void count_ping();
void count_pong(std::uint64_t rtt);
void copy_stats(vorn_guard_stats& stats);

void set_connected(bool connected);
bool connected();

// An address inside the module, which names the module's own file.
const void* module_anchor();

// In a forked child: the locks above start afresh (see
// forget_session_in_child) and no session is connected.
void forget_state_in_child();

}  // namespace vorn::guard
