// The reference guard module: one session with the local guard service per
// process, kept alive by a heartbeat thread.
//
// Loading the module does nothing. Every static below is constant-initialised
// (mutexes, plain data, a null pointer), so no code runs in DllMain or a
// constructor; all work starts in vorn_guard_start_ex.
#include "vorn_guard.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/client.h"
#include "platform/runtime.h"
#include "protocol/evidence.h"
#include "protocol/guard_protocol.h"

namespace {

constexpr std::uint32_t kDefaultConnectTimeoutMs = 3000;
constexpr std::uint32_t kDefaultReplyTimeoutMs = 10000;
// The heartbeat thread looks at the stop request at least this often.
constexpr std::uint32_t kPollSliceMs = 50;
// How long vorn_guard_stop waits for the service to close after BYE.
constexpr std::uint32_t kByeCloseWaitMs = 1000;
// PINGs whose PONG is still awaited; older ones are forgotten.
constexpr std::size_t kMaxPendingPings = 64;
constexpr std::size_t kErrorCapacity = 160;
// The service refuses shorter tags.
constexpr std::size_t kMinTagBytes = 12;

struct PendingPing {
  std::int64_t sequence;
  std::uint64_t sent_tick;
};

struct Session {
  vorn::os::ClientConnection connection;
  std::string token;
  std::uint32_t interval_ms = VORN_GUARD_DEFAULT_INTERVAL_MS;
  std::atomic<bool> stop_requested{false};
  std::thread heartbeat;
};

// Serialises start and stop; guards g_session.
std::mutex g_session_lock;
Session* g_session = nullptr;
std::atomic<bool> g_connected{false};

std::mutex g_stats_lock;
vorn_guard_stats g_stats = {};

std::mutex g_error_lock;
char g_last_error[kErrorCapacity] = {};

void set_last_error(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_error_lock);
  const std::size_t length =
      text.size() < kErrorCapacity - 1 ? text.size() : kErrorCapacity - 1;
  std::memcpy(g_last_error, text.data(), length);
  g_last_error[length] = '\0';
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

// Matches a PONG with the PING it answers. The service answers in order, so
// PINGs older than the answered one will get no answer of their own.
void handle_reply(const std::string& reply, std::deque<PendingPing>& pending) {
  std::int64_t sequence = 0;
  if (!vorn::guard::parse_pong(reply, sequence)) return;
  while (!pending.empty() && pending.front().sequence < sequence) {
    pending.pop_front();
  }
  if (!pending.empty() && pending.front().sequence == sequence) {
    count_pong(vorn::os::tick_ms() - pending.front().sent_tick);
    pending.pop_front();
  }
}

// Reads one message for at most `wait_ms`; never returns sooner without a
// reason, so a read that fails at once cannot make the caller spin.
enum class ReadResult { message, nothing, closed };
ReadResult read_for(vorn::os::ClientConnection connection,
                    std::uint32_t wait_ms, std::string& message) {
  const std::uint64_t start = vorn::os::tick_ms();
  bool closed = false;
  if (vorn::os::client_read(connection, message, wait_ms, closed)) {
    return ReadResult::message;
  }
  if (closed) return ReadResult::closed;
  const std::uint64_t elapsed = vorn::os::tick_ms() - start;
  if (elapsed < wait_ms) {
    vorn::os::sleep_ms(static_cast<std::uint32_t>(wait_ms - elapsed));
  }
  return ReadResult::nothing;
}

void mark_closed(const char* why) {
  g_connected.store(false);
  set_last_error(why);
}

void heartbeat_loop(Session* session) {
  std::deque<PendingPing> pending;
  std::int64_t sequence = 0;
  std::uint64_t next_ping = vorn::os::tick_ms();
  while (!session->stop_requested.load()) {
    std::uint64_t now = vorn::os::tick_ms();
    if (now >= next_ping) {
      ++sequence;
      const std::string ping =
          vorn::guard::ping_message(session->token, sequence);
      if (!vorn::os::client_write(session->connection, ping.data(),
                                  ping.size())) {
        mark_closed("connection closed by the service");
        return;
      }
      count_ping();
      pending.push_back(PendingPing{sequence, now});
      if (pending.size() > kMaxPendingPings) pending.pop_front();
      // A late wake-up does not cause a burst of PINGs.
      next_ping += session->interval_ms;
      if (next_ping <= now) next_ping = now + session->interval_ms;
    }
    now = vorn::os::tick_ms();
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
        mark_closed("connection closed by the service");
        return;
      case ReadResult::nothing:
        break;
    }
  }
}

// After BYE the service closes its end; waiting for that makes sure the
// BYE was taken before this side goes away.
void wait_for_service_close(vorn::os::ClientConnection connection) {
  const std::uint64_t start = vorn::os::tick_ms();
  for (;;) {
    const std::uint64_t elapsed = vorn::os::tick_ms() - start;
    if (elapsed >= kByeCloseWaitMs) return;
    const std::uint64_t left = kByeCloseWaitMs - elapsed;
    std::string message;
    if (read_for(connection,
                 static_cast<std::uint32_t>(left < kPollSliceMs ? left
                                                                : kPollSliceMs),
                 message) == ReadResult::closed) {
      return;
    }
  }
}

// The anchor whose address names this module's own file.
const char kModuleAnchor = 0;

bool compute_evidence(std::string& evidence_1, std::string& evidence_2) {
  std::string executable;
  std::string module;
  return vorn::os::current_executable_path(executable) &&
         vorn::os::module_path_of(&kModuleAnchor, module) &&
         vorn::file_evidence(executable, evidence_1) &&
         vorn::file_evidence(module, evidence_2);
}

// Connects, says HELLO and reads the answer. On VORN_GUARD_OK the connection
// stays open and `token` is set; otherwise nothing is left open.
int handshake(const std::string& tag, std::uint32_t timeout_ms,
              vorn::os::ClientConnection& connection, std::string& token) {
  std::string evidence_1;
  std::string evidence_2;
  if (!compute_evidence(evidence_1, evidence_2)) {
    set_last_error("evidence cannot be computed");
    return VORN_GUARD_E_EVIDENCE;
  }
  const std::uint32_t connect_ms =
      timeout_ms == 0 ? kDefaultConnectTimeoutMs : timeout_ms;
  const std::uint32_t reply_ms =
      timeout_ms == 0 ? kDefaultReplyTimeoutMs : timeout_ms;

  if (!vorn::os::client_connect(connection, connect_ms)) {
    set_last_error("connect failed");
    return VORN_GUARD_E_CONNECT;
  }
  const std::string hello = vorn::guard::hello_message(
      vorn::os::current_process_id(), tag, evidence_1, evidence_2);
  int result = VORN_GUARD_E_NO_REPLY;
  std::string reply;
  bool closed = false;
  if (!vorn::os::client_write(connection, hello.data(), hello.size())) {
    set_last_error("send failed");
  } else if (!vorn::os::client_read(connection, reply, reply_ms, closed)) {
    set_last_error(closed ? "connection closed without a reply" : "no reply");
  } else {
    switch (vorn::guard::parse_start_reply(reply, token)) {
      case vorn::guard::StartReply::ok:
        return VORN_GUARD_OK;
      case vorn::guard::StartReply::other_version:
        // Its session is left to end when the connection closes.
        set_last_error(
            "service protocol " +
            vorn::guard::strip_terminators(reply).substr(3 + token.size() + 1));
        token.clear();
        result = VORN_GUARD_E_VERSION;
        break;
      case vorn::guard::StartReply::refused:
        set_last_error(vorn::guard::strip_terminators(reply));
        result = VORN_GUARD_E_REFUSED;
        break;
      case vorn::guard::StartReply::unexpected:
        set_last_error("unexpected reply");
        break;
    }
  }
  vorn::os::client_close(connection);
  return result;
}

}  // namespace

extern "C" {

VORN_GUARD_API int vorn_guard_start(const char* client_tag,
                                    unsigned heartbeat_interval_ms) {
  return vorn_guard_start_ex(client_tag, heartbeat_interval_ms, 0);
}

VORN_GUARD_API int vorn_guard_start_ex(const char* client_tag,
                                       unsigned heartbeat_interval_ms,
                                       unsigned timeout_ms) {
  std::lock_guard<std::mutex> lock(g_session_lock);
  if (g_session != nullptr) return VORN_GUARD_E_STARTED;
  set_last_error("");
  reset_stats();
  // A bar would shift every later field of the HELLO.
  if (client_tag == nullptr || std::strchr(client_tag, '|') != nullptr) {
    set_last_error("bad client tag");
    return VORN_GUARD_E_ARGUMENT;
  }
  if (std::strlen(client_tag) < kMinTagBytes) {
    set_last_error(vorn_guard_strerror(VORN_GUARD_E_TAG));
    return VORN_GUARD_E_TAG;
  }
  if (heartbeat_interval_ms != 0 &&
      (heartbeat_interval_ms < VORN_GUARD_MIN_INTERVAL_MS ||
       heartbeat_interval_ms > VORN_GUARD_MAX_INTERVAL_MS)) {
    set_last_error(vorn_guard_strerror(VORN_GUARD_E_INTERVAL));
    return VORN_GUARD_E_INTERVAL;
  }

  vorn::os::ClientConnection connection;
  std::string token;
  const int result = handshake(client_tag, timeout_ms, connection, token);
  if (result != VORN_GUARD_OK) return result;

  Session* session = new Session;
  session->connection = connection;
  session->token = token;
  session->interval_ms = heartbeat_interval_ms == 0
                             ? VORN_GUARD_DEFAULT_INTERVAL_MS
                             : heartbeat_interval_ms;
  g_connected.store(true);
  try {
    session->heartbeat = std::thread(heartbeat_loop, session);
  } catch (const std::system_error&) {
    // No thread, no heartbeat: the session could not be kept, so end it.
    g_connected.store(false);
    const std::string bye = vorn::guard::bye_message(token);
    (void)vorn::os::client_write(connection, bye.data(), bye.size());
    vorn::os::client_close(session->connection);
    delete session;
    set_last_error("cannot start the heartbeat thread");
    return VORN_GUARD_E_NO_REPLY;
  }
  g_session = session;
  return VORN_GUARD_OK;
}

VORN_GUARD_API void vorn_guard_stop(void) {
  std::lock_guard<std::mutex> lock(g_session_lock);
  Session* session = g_session;
  if (session == nullptr) return;
  session->stop_requested.store(true);
  session->heartbeat.join();
  if (g_connected.load()) {
    const std::string bye = vorn::guard::bye_message(session->token);
    if (vorn::os::client_write(session->connection, bye.data(), bye.size())) {
      wait_for_service_close(session->connection);
    }
  }
  g_connected.store(false);
  vorn::os::client_close(session->connection);
  delete session;
  g_session = nullptr;
}

VORN_GUARD_API int vorn_guard_is_connected(void) {
  return g_connected.load() ? 1 : 0;
}

VORN_GUARD_API const char* vorn_guard_last_error(void) {
  // A private copy per thread, so a caller never reads the buffer while the
  // heartbeat thread rewrites it.
  thread_local char copy[kErrorCapacity];
  std::lock_guard<std::mutex> lock(g_error_lock);
  std::memcpy(copy, g_last_error, kErrorCapacity);
  return copy;
}

VORN_GUARD_API const char* vorn_guard_strerror(int code) {
  switch (code) {
    case VORN_GUARD_OK:
      return "no error";
    case VORN_GUARD_E_CONNECT:
      return "the guard service cannot be reached";
    case VORN_GUARD_E_REFUSED:
      return "the guard service refused the handshake";
    case VORN_GUARD_E_NO_REPLY:
      return "no usable reply from the guard service";
    case VORN_GUARD_E_STARTED:
      return "a session is already running in this process";
    case VORN_GUARD_E_EVIDENCE:
      return "the guard module cannot hash its files";
    case VORN_GUARD_E_ARGUMENT:
      return "the client tag is missing or holds a bar";
    case VORN_GUARD_E_INTERVAL:
      return "the heartbeat interval is outside 250..8000 ms";
    case VORN_GUARD_E_TAG:
      return "the client tag is shorter than 12 bytes";
    case VORN_GUARD_E_VERSION:
      return "the guard service speaks another protocol version";
    default:
      return "unknown result";
  }
}

#define VORN_GUARD_TEXT(x) #x
#define VORN_GUARD_VERSION_TEXT(major, minor, patch) \
  VORN_GUARD_TEXT(major) "." VORN_GUARD_TEXT(minor) "." VORN_GUARD_TEXT(patch)

VORN_GUARD_API const char* vorn_guard_version(void) {
  return VORN_GUARD_VERSION_TEXT(VORN_GUARD_VERSION_MAJOR,
                                 VORN_GUARD_VERSION_MINOR,
                                 VORN_GUARD_VERSION_PATCH);
}

VORN_GUARD_API int vorn_guard_get_stats(struct vorn_guard_stats* stats) {
  if (stats == nullptr) return -1;
  std::lock_guard<std::mutex> lock(g_stats_lock);
  *stats = g_stats;
  return 0;
}

}  // extern "C"
