// The last error, the statistics and the connected flag. Every static here
// is constant-initialised, so loading the module runs no code.
#include "guard/module_state.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

namespace vorn::guard {

namespace {

constexpr std::size_t kErrorCapacity = 160;

std::atomic<bool> g_connected{false};

std::mutex g_stats_lock;
vorn_guard_stats g_stats = {};

std::mutex g_error_lock;
char g_last_error[kErrorCapacity] = {};

// The anchor whose address names this module's own file.
const char kModuleAnchor = 0;

}  // namespace

void set_last_error(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_error_lock);
  const std::size_t length =
      text.size() < kErrorCapacity - 1 ? text.size() : kErrorCapacity - 1;
  std::memcpy(g_last_error, text.data(), length);
  g_last_error[length] = '\0';
}

const char* last_error_copy() {
  thread_local char copy[kErrorCapacity];
  std::lock_guard<std::mutex> lock(g_error_lock);
  std::memcpy(copy, g_last_error, kErrorCapacity);
  return copy;
}

void reset_stats() {
  std::lock_guard<std::mutex> lock(g_stats_lock);
  g_stats = vorn_guard_stats{};
}

void count_ping() {
  std::lock_guard<std::mutex> lock(g_stats_lock);
  ++g_stats.pings_sent;
}

void count_pong(std::uint64_t rtt) {
  const unsigned rtt_ms =
      rtt > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned>(rtt);
  std::lock_guard<std::mutex> lock(g_stats_lock);
  ++g_stats.pongs_received;
  g_stats.last_rtt_ms = rtt_ms;
  if (g_stats.pongs_received == 1 || rtt_ms < g_stats.min_rtt_ms) {
    g_stats.min_rtt_ms = rtt_ms;
  }
  if (rtt_ms > g_stats.max_rtt_ms) g_stats.max_rtt_ms = rtt_ms;
  g_stats.total_rtt_ms += rtt_ms;
}

void copy_stats(vorn_guard_stats& stats) {
  std::lock_guard<std::mutex> lock(g_stats_lock);
  stats = g_stats;
}

void set_connected(bool connected) { g_connected.store(connected); }

bool connected() { return g_connected.load(); }

const void* module_anchor() { return &kModuleAnchor; }

void forget_state_in_child() {
  new (&g_stats_lock) std::mutex;
  new (&g_error_lock) std::mutex;
  g_connected.store(false);
}

}  // namespace vorn::guard
