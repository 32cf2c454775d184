#include "guard/session_keeper.h"

#include <cstdint>

#include "guard/connection_waits.h"
#include "guard/heartbeat.h"
#include "guard/module_state.h"
#include "guard/service_handshake.h"
#include "platform/runtime.h"

namespace vorn::guard {

namespace {

// Pauses between failed attempts: doubling from the first to the last.
constexpr std::uint32_t kFirstRetryMs = 250;
constexpr std::uint32_t kLastRetryMs = 8000;

void notify(const Settings& settings, int event, int result) {
  if (settings.on_event == nullptr) return;
  settings.on_event(settings.context, event, result, vorn_guard_last_error());
}

// Refusals are final; every other failure may pass.
bool worth_retrying(int result) {
  return result == VORN_GUARD_E_CONNECT || result == VORN_GUARD_E_NO_REPLY ||
         result == VORN_GUARD_E_NOT_SERVICE;
}

std::uint32_t retry_pause_ms(unsigned failures) {
  std::uint32_t pause = kFirstRetryMs;
  for (unsigned i = 1; i < failures && pause < kLastRetryMs; ++i) pause *= 2;
  return pause < kLastRetryMs ? pause : kLastRetryMs;
}

// False when a stop came first.
bool pause_unless_stopped(const Session* session, std::uint32_t pause_ms) {
  const std::uint64_t start = os::tick_ms();
  for (;;) {
    if (session->stop_requested.load()) return false;
    const std::uint64_t elapsed = os::tick_ms() - start;
    if (elapsed >= pause_ms) return true;
    const std::uint64_t left = pause_ms - elapsed;
    os::sleep_ms(
        static_cast<std::uint32_t>(left < kPollSliceMs ? left : kPollSliceMs));
  }
}

}  // namespace

void keep_session(Session* session) {
  unsigned failures = 0;
  while (!session->stop_requested.load()) {
    if (!session->open) {
      const int result = handshake(*session, &session->stop_requested);
      if (result == VORN_GUARD_OK) {
        session->open = true;
        set_connected(true);
        notify(session->settings, VORN_GUARD_EVENT_CONNECTED, result);
      } else if (session->stop_requested.load()) {
        return;
      } else if (!worth_retrying(result)) {
        notify(session->settings, VORN_GUARD_EVENT_REFUSED, result);
        return;
      } else {
        notify(session->settings, VORN_GUARD_EVENT_RECONNECTING, result);
        if (!pause_unless_stopped(session, retry_pause_ms(++failures))) return;
        continue;
      }
    }
    const std::uint64_t opened = os::tick_ms();
    heartbeat_loop(session);
    if (session->stop_requested.load()) return;
    set_connected(false);
    session->connection.close();
    session->open = false;
    set_last_error("connection closed by the service");
    notify(session->settings, VORN_GUARD_EVENT_ENDED, VORN_GUARD_OK);
    // A session that held a while is reopened at once; one that keeps
    // ending at once (a service going down) waits like a failed attempt.
    if (os::tick_ms() - opened >= kLastRetryMs) {
      failures = 0;
    } else if (!pause_unless_stopped(session, retry_pause_ms(++failures))) {
      return;
    }
  }
}

}  // namespace vorn::guard
