#include "guard/service_handshake.h"

#include <cstdint>
#include <string>

#include "guard/connection_waits.h"
#include "guard/evidence_cache.h"
#include "guard/module_state.h"
#include "platform/runtime.h"
#include "protocol/guard_protocol.h"
#include "protocol/rules.h"

namespace vorn::guard {

namespace {

// `cached`: a value came from the player's cache rather than the file.
bool compute_evidence(bool use_cache, EvidencePair& values, bool& cached) {
  std::string executable;
  std::string module;
  bool cached_1 = false;
  bool cached_2 = false;
  const bool computed =
      os::current_executable_path(executable) &&
      os::module_path_of(module_anchor(), module) &&
      evidence_of(executable, use_cache, values.executable, cached_1) &&
      evidence_of(module, use_cache, values.module, cached_2);
  cached = cached_1 || cached_2;
  return computed;
}

// Connects within `timeout_ms`. Nothing listening fails at once; only a
// busy service is waited for, in pieces so that a stop is seen between them
// (each busy piece has waited its whole length).
os::ConnectResult connect_within(os::ClientConnection& connection,
                                 std::uint32_t timeout_ms,
                                 const std::atomic<bool>* stop,
                                 os::Error& error) {
  const std::uint64_t start = os::tick_ms();
  for (;;) {
    const std::uint64_t elapsed = os::tick_ms() - start;
    const std::uint64_t left = elapsed < timeout_ms ? timeout_ms - elapsed : 0;
    const std::uint32_t piece = static_cast<std::uint32_t>(
        left < kConnectSliceMs ? left : kConnectSliceMs);
    const os::ConnectResult result =
        os::client_connect(connection, piece, &error);
    if (result != os::ConnectResult::busy || left <= piece || stopping(stop)) {
      return result;
    }
  }
}

// What the reply to a HELLO means; sets the last error for every failure.
int read_start_reply(const std::string& reply, std::string& token) {
  switch (parse_start_reply(reply, token)) {
    case StartReply::ok:
      return VORN_GUARD_OK;
    case StartReply::other_version:
      // Its session is left to end when the connection closes.
      set_last_error("service protocol " +
                     strip_terminators(reply).substr(3 + token.size() + 1));
      token.clear();
      return VORN_GUARD_E_VERSION;
    case StartReply::refused:
      set_last_error(strip_terminators(reply));
      return VORN_GUARD_E_REFUSED;
    case StartReply::unexpected:
      break;
  }
  set_last_error("unexpected reply");
  return VORN_GUARD_E_NO_REPLY;
}

// Connects within `connect_ms`: VORN_GUARD_OK, or the failure with its last
// error set.
int connect_service(os::ClientConnection& connection, std::uint32_t connect_ms,
                    const std::atomic<bool>* stop) {
  os::Error error;
  switch (connect_within(connection, connect_ms, stop, error)) {
    case os::ConnectResult::connected:
      return VORN_GUARD_OK;
    case os::ConnectResult::unreachable:
    case os::ConnectResult::busy:
      set_last_error("connect failed: " + error.words());
      return VORN_GUARD_E_CONNECT;
    case os::ConnectResult::not_the_service:
      set_last_error("the endpoint is not served by the guard service: " +
                     error.words());
      return VORN_GUARD_E_NOT_SERVICE;
  }
  return VORN_GUARD_E_CONNECT;
}

// One attempt: on VORN_GUARD_OK the connection stays open and `token` is
// set; otherwise nothing is left open.
int handshake_once(const Settings& settings, const std::atomic<bool>* stop,
                   os::ClientConnection& connection, std::string& token,
                   StartEvidence& evidence) {
  const std::uint32_t connect_ms =
      settings.timeout_ms == 0 ? kDefaultConnectTimeoutMs : settings.timeout_ms;
  const std::uint32_t reply_ms =
      settings.timeout_ms == 0 ? kDefaultReplyTimeoutMs : settings.timeout_ms;

  // Connected first: the service hashes the files while the evidence is
  // computed here. Evidence that took long enough for the service to give
  // up waiting for the HELLO goes out on a new connection.
  int result = connect_service(connection, connect_ms, stop);
  if (result != VORN_GUARD_OK) return result;
  const std::uint64_t connected_at = os::tick_ms();
  EvidencePair values;
  if (!evidence_for_attempt(evidence, compute_evidence, values)) {
    connection.close();
    set_last_error("evidence cannot be computed");
    return VORN_GUARD_E_EVIDENCE;
  }
  if (os::tick_ms() - connected_at > kEvidenceOnOpenConnectionMs) {
    connection.close();
    result = connect_service(connection, connect_ms, stop);
    if (result != VORN_GUARD_OK) return result;
  }
  const std::string hello = hello_message(
      os::current_process_id(), settings.tag, values.executable, values.module);
  result = VORN_GUARD_E_NO_REPLY;
  std::string reply;
  if (!os::client_write(connection, hello.data(), hello.size())) {
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
  connection.close();
  return result;
}

}  // namespace

// Values the service refuses may be stale (from the cache: a file changed
// within its times' resolution, a cache the player edited; remembered: a
// file replaced since): computed again from the files, once.
int handshake(Session& session, const std::atomic<bool>* stop) {
  const int result = handshake_once(session.settings, stop, session.connection,
                                    session.token, session.evidence);
  if (result != VORN_GUARD_E_REFUSED ||
      vorn_guard_last_error() != std::string("ERR|INTEGRITY") ||
      !drop_refused_evidence(session.evidence)) {
    return result;
  }
  return handshake_once(session.settings, stop, session.connection,
                        session.token, session.evidence);
}

}  // namespace vorn::guard
