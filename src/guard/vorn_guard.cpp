// The reference guard module: one session with the local guard service per
// process, kept by the module's own thread, which sends the heartbeats and
// reconnects when the service ends the session.
//
// Loading the module does nothing. Every static below is constant-initialised
// (mutexes, plain data, null pointers), so no code runs in DllMain or a
// constructor; all work starts in a start call.
#include "vorn_guard.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "guard/evidence_cache.h"
#include "guard/start_evidence.h"
#include "platform/client.h"
#include "platform/runtime.h"
#include "protocol/evidence.h"
#include "protocol/guard_protocol.h"

namespace {

constexpr std::uint32_t kDefaultConnectTimeoutMs = 3000;
constexpr std::uint32_t kDefaultReplyTimeoutMs = 10000;
// Evidence computed for longer than this on an open connection is sent on a
// new one: the service waits 12 s for a HELLO, and a loaded machine needs
// its margin.
constexpr std::uint64_t kEvidenceOnOpenConnectionMs = 8000;
// The module's thread looks at the stop request at least this often.
constexpr std::uint32_t kPollSliceMs = 50;
// A busy service is waited for in pieces this long, so a stop is not kept
// waiting.
constexpr std::uint32_t kConnectSliceMs = 250;
// How long vorn_guard_stop waits for the service to close after BYE.
constexpr std::uint32_t kByeCloseWaitMs = 1000;
// PINGs whose PONG is still awaited; older ones are forgotten.
constexpr std::size_t kMaxPendingPings = 64;
constexpr std::size_t kErrorCapacity = 160;
// The service refuses shorter tags.
constexpr std::size_t kMinTagBytes = 12;
// Pauses between failed attempts: doubling from the first to the last.
constexpr std::uint32_t kFirstRetryMs = 250;
constexpr std::uint32_t kLastRetryMs = 8000;

struct PendingPing {
  std::int64_t sequence;
  std::uint64_t sent_tick;
};

struct Settings {
  std::string tag;
  std::uint32_t interval_ms = VORN_GUARD_DEFAULT_INTERVAL_MS;
  std::uint32_t timeout_ms = 0;  // 0: the defaults above
  vorn_guard_event_fn on_event = nullptr;
  void* context = nullptr;
};

struct Session {
  Settings settings;
  std::atomic<bool> stop_requested{false};
  std::thread keeper;
  // The open connection and its token: the keeper's while it runs, the
  // stopping thread's once it has been joined.
  vorn::os::ClientConnection connection;
  std::string token;
  bool open = false;
  // Computed once for this start, reused by its reconnects.
  vorn::guard::StartEvidence evidence;
};

// Serialises start and stop; guards g_session.
std::mutex g_session_lock;
Session* g_session = nullptr;
std::atomic<bool> g_connected{false};
// Set on the keeper thread, so calls from the event callback can tell.
thread_local Session* t_keeper_session = nullptr;
// Whether a forked child forgets the session; set once, under g_session_lock.
bool g_fork_watched = false;

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

bool stopping(const std::atomic<bool>* stop) {
  return stop != nullptr && stop->load();
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
        return;
      }
      count_ping();
      pending.push_back(PendingPing{sequence, now});
      if (pending.size() > kMaxPendingPings) pending.pop_front();
      // A late wake-up does not cause a burst of PINGs.
      next_ping += session->settings.interval_ms;
      if (next_ping <= now) next_ping = now + session->settings.interval_ms;
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

// `cached`: a value came from the player's cache rather than the file.
bool compute_evidence(bool use_cache, vorn::guard::EvidencePair& values,
                      bool& cached) {
  std::string executable;
  std::string module;
  bool cached_1 = false;
  bool cached_2 = false;
  const bool computed =
      vorn::os::current_executable_path(executable) &&
      vorn::os::module_path_of(&kModuleAnchor, module) &&
      vorn::guard::evidence_of(executable, use_cache, values.executable,
                               cached_1) &&
      vorn::guard::evidence_of(module, use_cache, values.module, cached_2);
  cached = cached_1 || cached_2;
  return computed;
}

// Connects within `timeout_ms`. Nothing listening fails at once; only a
// busy service is waited for, in pieces so that a stop is seen between them
// (each busy piece has waited its whole length).
vorn::os::ConnectResult connect_within(vorn::os::ClientConnection& connection,
                                       std::uint32_t timeout_ms,
                                       const std::atomic<bool>* stop,
                                       std::string& error) {
  const std::uint64_t start = vorn::os::tick_ms();
  for (;;) {
    const std::uint64_t elapsed = vorn::os::tick_ms() - start;
    const std::uint64_t left = elapsed < timeout_ms ? timeout_ms - elapsed : 0;
    const std::uint32_t piece = static_cast<std::uint32_t>(
        left < kConnectSliceMs ? left : kConnectSliceMs);
    const vorn::os::ConnectResult result =
        vorn::os::client_connect(connection, piece, &error);
    if (result != vorn::os::ConnectResult::busy || left <= piece ||
        stopping(stop)) {
      return result;
    }
  }
}

// Waits for the one reply to the HELLO, looking at the stop request between
// short reads.
ReadResult await_reply(vorn::os::ClientConnection connection,
                       std::uint32_t timeout_ms, const std::atomic<bool>* stop,
                       std::string& reply) {
  const std::uint64_t start = vorn::os::tick_ms();
  for (;;) {
    const std::uint64_t elapsed = vorn::os::tick_ms() - start;
    if (elapsed >= timeout_ms || stopping(stop)) return ReadResult::nothing;
    const std::uint64_t left = timeout_ms - elapsed;
    const ReadResult result = read_for(
        connection,
        static_cast<std::uint32_t>(left < kPollSliceMs ? left : kPollSliceMs),
        reply);
    if (result != ReadResult::nothing) return result;
  }
}

// What the reply to a HELLO means; sets the last error for every failure.
int read_start_reply(const std::string& reply, std::string& token) {
  switch (vorn::guard::parse_start_reply(reply, token)) {
    case vorn::guard::StartReply::ok:
      return VORN_GUARD_OK;
    case vorn::guard::StartReply::other_version:
      // Its session is left to end when the connection closes.
      set_last_error(
          "service protocol " +
          vorn::guard::strip_terminators(reply).substr(3 + token.size() + 1));
      token.clear();
      return VORN_GUARD_E_VERSION;
    case vorn::guard::StartReply::refused:
      set_last_error(vorn::guard::strip_terminators(reply));
      return VORN_GUARD_E_REFUSED;
    case vorn::guard::StartReply::unexpected:
      break;
  }
  set_last_error("unexpected reply");
  return VORN_GUARD_E_NO_REPLY;
}

// Connects within `connect_ms`: VORN_GUARD_OK, or the failure with its last
// error set.
int connect_service(vorn::os::ClientConnection& connection,
                    std::uint32_t connect_ms, const std::atomic<bool>* stop) {
  std::string error;
  switch (connect_within(connection, connect_ms, stop, error)) {
    case vorn::os::ConnectResult::connected:
      return VORN_GUARD_OK;
    case vorn::os::ConnectResult::unreachable:
    case vorn::os::ConnectResult::busy:
      set_last_error("connect failed: " + error);
      return VORN_GUARD_E_CONNECT;
    case vorn::os::ConnectResult::not_the_service:
      set_last_error("the endpoint is not served by the guard service: " +
                     error);
      return VORN_GUARD_E_NOT_SERVICE;
  }
  return VORN_GUARD_E_CONNECT;
}

// Connects, says HELLO and reads the answer. On VORN_GUARD_OK the connection
// stays open and `token` is set; otherwise nothing is left open. `stop`,
// when given, cuts the waits short.
int handshake_once(const Settings& settings, const std::atomic<bool>* stop,
                   vorn::os::ClientConnection& connection, std::string& token,
                   vorn::guard::StartEvidence& evidence) {
  const std::uint32_t connect_ms =
      settings.timeout_ms == 0 ? kDefaultConnectTimeoutMs : settings.timeout_ms;
  const std::uint32_t reply_ms =
      settings.timeout_ms == 0 ? kDefaultReplyTimeoutMs : settings.timeout_ms;

  // Connected first: the service hashes the files while the evidence is
  // computed here. Evidence that took long enough for the service to give
  // up waiting for the HELLO goes out on a new connection.
  int result = connect_service(connection, connect_ms, stop);
  if (result != VORN_GUARD_OK) return result;
  const std::uint64_t connected_at = vorn::os::tick_ms();
  vorn::guard::EvidencePair values;
  if (!vorn::guard::evidence_for_attempt(evidence, compute_evidence, values)) {
    vorn::os::client_close(connection);
    set_last_error("evidence cannot be computed");
    return VORN_GUARD_E_EVIDENCE;
  }
  if (vorn::os::tick_ms() - connected_at > kEvidenceOnOpenConnectionMs) {
    vorn::os::client_close(connection);
    result = connect_service(connection, connect_ms, stop);
    if (result != VORN_GUARD_OK) return result;
  }
  const std::string hello =
      vorn::guard::hello_message(vorn::os::current_process_id(), settings.tag,
                                 values.executable, values.module);
  result = VORN_GUARD_E_NO_REPLY;
  std::string reply;
  if (!vorn::os::client_write(connection, hello.data(), hello.size())) {
    set_last_error("send failed");
  } else {
    switch (await_reply(connection, reply_ms, stop, reply)) {
      case ReadResult::closed:
        set_last_error("connection closed without a reply");
        break;
      case ReadResult::nothing:
        set_last_error("no reply");
        break;
      case ReadResult::message:
        result = read_start_reply(reply, token);
        if (result == VORN_GUARD_OK) return result;
        break;
    }
  }
  vorn::os::client_close(connection);
  return result;
}

// Values the service refuses may be stale (from the cache: a file changed
// within its times' resolution, a cache the player edited; remembered: a
// file replaced since): computed again from the files, once.
int handshake(Session& session, const std::atomic<bool>* stop) {
  const int result = handshake_once(session.settings, stop, session.connection,
                                    session.token, session.evidence);
  if (result != VORN_GUARD_E_REFUSED ||
      vorn_guard_last_error() != std::string("ERR|INTEGRITY") ||
      !vorn::guard::drop_refused_evidence(session.evidence)) {
    return result;
  }
  return handshake_once(session.settings, stop, session.connection,
                        session.token, session.evidence);
}

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
  const std::uint64_t start = vorn::os::tick_ms();
  for (;;) {
    if (session->stop_requested.load()) return false;
    const std::uint64_t elapsed = vorn::os::tick_ms() - start;
    if (elapsed >= pause_ms) return true;
    const std::uint64_t left = pause_ms - elapsed;
    vorn::os::sleep_ms(
        static_cast<std::uint32_t>(left < kPollSliceMs ? left : kPollSliceMs));
  }
}

// The module's thread: keeps the session open, with heartbeats, until a
// stop; reconnects after the service ends it or cannot be reached. Leaves
// an open connection to vorn_guard_stop, which says BYE on it.
void keep_session(Session* session) {
  t_keeper_session = session;
  unsigned failures = 0;
  while (!session->stop_requested.load()) {
    if (!session->open) {
      const int result = handshake(*session, &session->stop_requested);
      if (result == VORN_GUARD_OK) {
        session->open = true;
        g_connected.store(true);
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
    const std::uint64_t opened = vorn::os::tick_ms();
    heartbeat_loop(session);
    if (session->stop_requested.load()) return;
    g_connected.store(false);
    vorn::os::client_close(session->connection);
    session->open = false;
    set_last_error("connection closed by the service");
    notify(session->settings, VORN_GUARD_EVENT_ENDED, VORN_GUARD_OK);
    // A session that held a while is reopened at once; one that keeps
    // ending at once (a service going down) waits like a failed attempt.
    if (vorn::os::tick_ms() - opened >= kLastRetryMs) {
      failures = 0;
    } else if (!pause_unless_stopped(session, retry_pause_ms(++failures))) {
      return;
    }
  }
}

// Copies the caller's options, checking what can be checked before anything
// is sent. VORN_GUARD_OK or the code of the first fault.
int read_settings(const char* client_tag, unsigned heartbeat_interval_ms,
                  unsigned timeout_ms, Settings& settings) {
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
  settings.tag = client_tag;
  settings.interval_ms = heartbeat_interval_ms == 0
                             ? VORN_GUARD_DEFAULT_INTERVAL_MS
                             : heartbeat_interval_ms;
  settings.timeout_ms = timeout_ms;
  return VORN_GUARD_OK;
}

// In a forked child: the session is the parent's. Its thread does not exist
// here and its connection is the parent's, so the child forgets it without
// touching it (the copy can be neither joined nor destroyed, and is left).
// Only the forking thread lives on, and no module lock is held while the
// module calls out, so every lock held at the fork belonged to a thread that
// is gone: each starts afresh.
void forget_session_in_child() {
  new (&g_session_lock) std::mutex;
  new (&g_stats_lock) std::mutex;
  new (&g_error_lock) std::mutex;
  g_session = nullptr;
  g_connected.store(false);
  t_keeper_session = nullptr;
}

// Starts a session: the first handshake here when blocking, else on the
// module's thread, which then keeps the session.
int start_session(Settings settings, bool nonblocking) {
  if (t_keeper_session != nullptr) return VORN_GUARD_E_STARTED;
  std::lock_guard<std::mutex> lock(g_session_lock);
  if (g_session != nullptr) return VORN_GUARD_E_STARTED;
  set_last_error("");
  reset_stats();
  // The module's thread runs its code: a program that unloads the module
  // while it runs must not take that code away.
  if (!vorn::os::pin_module_of(&kModuleAnchor)) {
    set_last_error("cannot keep the module loaded");
    return VORN_GUARD_E_NO_REPLY;
  }
  if (!g_fork_watched) {
    g_fork_watched = vorn::os::on_fork_child(forget_session_in_child);
  }

  std::unique_ptr<Session> session(new Session);
  session->settings = std::move(settings);
  if (!nonblocking) {
    const int result = handshake(*session, nullptr);
    if (result != VORN_GUARD_OK) return result;
    session->open = true;
    g_connected.store(true);
  }
  try {
    session->keeper = std::thread(keep_session, session.get());
  } catch (const std::system_error&) {
    // No thread, no heartbeat: the session could not be kept, so end it.
    g_connected.store(false);
    if (session->open) {
      const std::string bye = vorn::guard::bye_message(session->token);
      (void)vorn::os::client_write(session->connection, bye.data(), bye.size());
      vorn::os::client_close(session->connection);
    }
    set_last_error("cannot start the module's thread");
    return VORN_GUARD_E_NO_REPLY;
  }
  g_session = session.release();
  return VORN_GUARD_OK;
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
  Settings settings;
  const int result =
      read_settings(client_tag, heartbeat_interval_ms, timeout_ms, settings);
  if (result != VORN_GUARD_OK) return result;
  return start_session(std::move(settings), false);
}

VORN_GUARD_API int vorn_guard_start_with(
    const struct vorn_guard_options* options, unsigned options_size) {
  if (options == nullptr || options_size != sizeof(vorn_guard_options)) {
    set_last_error("bad options");
    return VORN_GUARD_E_ARGUMENT;
  }
  Settings settings;
  const int result =
      read_settings(options->client_tag, options->heartbeat_interval_ms,
                    options->timeout_ms, settings);
  if (result != VORN_GUARD_OK) return result;
  settings.on_event = options->on_event;
  settings.context = options->context;
  return start_session(std::move(settings), options->nonblocking != 0);
}

VORN_GUARD_API void vorn_guard_stop(void) {
  // From the event callback: joining the keeper there would wait for itself.
  if (t_keeper_session != nullptr) {
    t_keeper_session->stop_requested.store(true);
    return;
  }
  std::lock_guard<std::mutex> lock(g_session_lock);
  Session* session = g_session;
  if (session == nullptr) return;
  session->stop_requested.store(true);
  session->keeper.join();
  if (session->open) {
    const std::string bye = vorn::guard::bye_message(session->token);
    if (vorn::os::client_write(session->connection, bye.data(), bye.size())) {
      wait_for_service_close(session->connection);
    }
    vorn::os::client_close(session->connection);
  }
  g_connected.store(false);
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
    case VORN_GUARD_E_NOT_SERVICE:
      return "the endpoint is not served by the guard service";
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
