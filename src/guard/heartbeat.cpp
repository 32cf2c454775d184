#include "guard/heartbeat.h"

#include <cstdint>
#include <deque>
#include <string>

#include "guard/connection_waits.h"
#include "guard/module_state.h"
#include "platform/runtime.h"
#include "protocol/guard_protocol.h"
#include "protocol/rules.h"

namespace vorn::guard {

namespace {

struct PendingPing {
  std::int64_t sequence;
  std::uint64_t sent_tick;
};

// Matches a PONG with the PING it answers. The service answers in order, so
// PINGs older than the answered one will get no answer of their own.
void handle_reply(const std::string& reply, std::deque<PendingPing>& pending) {
  std::int64_t sequence = 0;
  if (!parse_pong(reply, sequence)) return;
  while (!pending.empty() && pending.front().sequence < sequence) {
    pending.pop_front();
  }
  if (!pending.empty() && pending.front().sequence == sequence) {
    count_pong(os::tick_ms() - pending.front().sent_tick);
    pending.pop_front();
  }
}

}  // namespace

void heartbeat_loop(Session* session) {
  std::deque<PendingPing> pending;
  std::int64_t sequence = 0;
  std::uint64_t next_ping = os::tick_ms();
  while (!session->stop_requested.load()) {
    std::uint64_t now = os::tick_ms();
    if (now >= next_ping) {
      ++sequence;
      const std::string ping = ping_message(session->token, sequence);
      if (!os::client_write(session->connection, ping.data(), ping.size())) {
        return;
      }
      count_ping();
      pending.push_back(PendingPing{sequence, now});
      if (pending.size() > kMaxPendingPings) pending.pop_front();
      // A late wake-up does not cause a burst of PINGs.
      next_ping += session->settings.interval_ms;
      if (next_ping <= now) next_ping = now + session->settings.interval_ms;
    }
    now = os::tick_ms();
    const std::uint64_t until_ping = next_ping > now ? next_ping - now : 0;
    const std::uint32_t wait_ms = until_ping < kPollSliceMs
                                      ? static_cast<std::uint32_t>(until_ping)
                                      : kPollSliceMs;
    std::string message;
    switch (read_for(session->connection, wait_ms, message)) {
      case ReadResult::message:
        handle_reply(message, pending);
        break;
      case ReadResult::closed:
        return;
      case ReadResult::nothing:
        break;
    }
  }
}

}  // namespace vorn::guard
