// The one session of a process: the caller's settings and what the module's
// thread holds while it keeps the session.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "guard/start_evidence.h"
#include "platform/client.h"
#include "vorn_guard.h"

namespace vorn::guard {

struct Settings {
  std::string tag;
  std::uint32_t interval_ms = VORN_GUARD_DEFAULT_INTERVAL_MS;
  std::uint32_t timeout_ms = 0;  // 0: the handshake's defaults
  vorn_guard_event_fn on_event = nullptr;
  void* context = nullptr;
};

struct Session {
  Settings settings;
  std::atomic<bool> stop_requested{false};
  std::thread keeper;
  // The open connection and its token: the keeper's while it runs, the
  // stopping thread's once it has been joined.
  os::ClientConnection connection;
  std::string token;
  bool open = false;
  // Computed once for this start, reused by its reconnects.
  StartEvidence evidence;
};

}  // namespace vorn::guard
