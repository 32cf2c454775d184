// The guard module's C API (include/vorn_guard.h): the callers' arguments
// checked, a session started and stopped, and what it reports. The session
// itself is kept by the module's own thread (session_keeper.cpp), which
// sends the heartbeats and reconnects when the service ends the session.
//
// Loading the module does nothing. Every static of the module is
// constant-initialised (mutexes, plain data, null pointers), so no code runs
// in DllMain or a constructor; all work starts in a start call.
#include "vorn_guard.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "guard/connection_waits.h"
#include "guard/module_state.h"
#include "guard/service_handshake.h"
#include "guard/session.h"
#include "guard/session_keeper.h"
#include "platform/client.h"
#include "protocol/guard_protocol.h"

namespace {

using vorn::guard::Session;
using vorn::guard::set_last_error;
using vorn::guard::Settings;

// The service refuses shorter tags.
constexpr std::size_t kMinTagBytes = 12;

// Serialises start and stop; guards g_session.
std::mutex g_session_lock;
Session* g_session = nullptr;
// Set on the keeper thread, so calls from the event callback can tell.
thread_local Session* t_keeper_session = nullptr;
// Whether a forked child forgets the session; set once, under g_session_lock.
bool g_fork_watched = false;

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
  vorn::guard::forget_state_in_child();
  g_session = nullptr;
  t_keeper_session = nullptr;
}

// Starts a session: the first handshake here when blocking, else on the
// module's thread, which then keeps the session.
int start_session(Settings settings, bool nonblocking) {
  if (t_keeper_session != nullptr) return VORN_GUARD_E_STARTED;
  std::lock_guard<std::mutex> lock(g_session_lock);
  if (g_session != nullptr) return VORN_GUARD_E_STARTED;
  set_last_error("");
  vorn::guard::reset_stats();
  // The module's thread runs its code: a program that unloads the module
  // while it runs must not take that code away.
  if (!vorn::os::pin_module_of(vorn::guard::module_anchor())) {
    set_last_error("cannot keep the module loaded");
    return VORN_GUARD_E_NO_REPLY;
  }
  if (!g_fork_watched) {
    g_fork_watched = vorn::os::on_fork_child(forget_session_in_child);
  }

  std::unique_ptr<Session> session(new Session);
  session->settings = std::move(settings);
  if (!nonblocking) {
    const int result = vorn::guard::handshake(*session, nullptr);
    if (result != VORN_GUARD_OK) return result;
    session->open = true;
    vorn::guard::set_connected(true);
  }
  try {
    session->keeper = std::thread(
        [](Session* kept) {
          t_keeper_session = kept;
          vorn::guard::keep_session(kept);
        },
        session.get());
  } catch (const std::system_error&) {
    // No thread, no heartbeat: the session could not be kept, so end it.
    vorn::guard::set_connected(false);
    if (session->open) {
      const std::string bye = vorn::guard::bye_message(session->token);
      (void)vorn::os::client_write(session->connection, bye.data(), bye.size());
      session->connection.close();
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
      vorn::guard::wait_for_service_close(session->connection);
    }
    session->connection.close();
  }
  vorn::guard::set_connected(false);
  delete session;
  g_session = nullptr;
}

VORN_GUARD_API int vorn_guard_is_connected(void) {
  return vorn::guard::connected() ? 1 : 0;
}

VORN_GUARD_API const char* vorn_guard_last_error(void) {
  return vorn::guard::last_error_copy();
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
  vorn::guard::copy_stats(*stats);
  return 0;
}

}  // extern "C"
