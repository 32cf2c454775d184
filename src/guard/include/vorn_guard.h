/*
 * The VORN guard module: what a protected game client links (or loads) to
 * keep a session with the local guard service.
 *
 * A client calls vorn_guard_start() once, early, and vorn_guard_stop() before
 * it exits. In between, a background thread sends a heartbeat at the chosen
 * interval; the service ends (and may terminate) a client whose heartbeats
 * stop, so the module must stay loaded and started for the client's whole
 * run.
 *
 * Nothing happens when the module is merely loaded: all work starts in
 * vorn_guard_start(). One session per process.
 *
 * Unloading is safe: from its first start on, the module keeps itself loaded
 * for the rest of the process's life, so FreeLibrary() / dlclose() while a
 * session runs leaves it in place and its thread keeps running. (A module
 * never started can still be unloaded.)
 *
 * fork(): the child has no session. vorn_guard_is_connected() is 0 there,
 * vorn_guard_stop() sends nothing and leaves the parent's session alone (so
 * an atexit(vorn_guard_stop) handler is safe in the child), and a start in
 * the child opens a session of its own.
 *
 * Files: vorn_guard.dll (Windows) and libvorn_guard.so.1 (Linux, named
 * after its SONAME; libvorn_guard.so is the link to it that -lvorn_guard
 * finds when building). The service finds the module in the client process
 * by what it is (its export directory name, its SONAME), not by its file
 * name, so a renamed or plain copy is recognised.
 *
 * Where each call may be made:
 * - vorn_guard_start(), vorn_guard_start_ex(), a blocking
 *   vorn_guard_start_with() and vorn_guard_stop() may wait (for the service,
 *   up to about 13 s, and for the module's thread). Call them from ordinary
 *   program code, an executable's atexit() handlers included; never from
 *   DllMain, from the constructors or destructors of a DLL's or shared
 *   object's static objects (they run while the loader is busy), or while
 *   holding a lock the event callback takes.
 * - A non-blocking vorn_guard_start_with() returns at once and may be made
 *   wherever a thread may be created (so not from DllMain either).
 * - Every other call only reads a few figures under a short lock and may be
 *   made from any thread at any time, the event callback included, except
 *   from a signal handler.
 * - Start and stop are serialised and thread-safe: a start while a session
 *   exists returns VORN_GUARD_E_STARTED; a second stop does nothing.
 *
 * When the service ends the session (it stopped or restarted, or closed the
 * connection), the module reconnects by itself with a fresh HELLO: at once,
 * then after 250 ms, 500 ms, ... up to 8000 ms between attempts, for as long
 * as the session is started. vorn_guard_is_connected() is 0 in between, and
 * the optional event callback (vorn_guard_start_with()) tells the game. A
 * refusal by the service ends the attempts: call vorn_guard_stop().
 *
 * A client paused in a debugger sends no heartbeats: after 12000 ms the
 * service ends the session and terminates the client, so debug with the
 * service stopped.
 *
 * Where the service is: the named pipe \\.\pipe\VORNGuardLocalGuard on
 * Windows, the socket /run/VORN/VORNGuardLocalGuard on Linux. The
 * environment variable VORN_GUARD_ENDPOINT, when set and not empty, names
 * another one; it is meant for tests and unusual installs.
 *
 * Talking only to the real service: before the HELLO leaves, the module
 * checks who answers. On Windows the pipe is opened for identification only
 * (the server cannot act as the game's user), and its server process must be
 * the running service VORNGuardLocalService. On Linux the socket's other end
 * must run as root, or as the game's own user when VORN_GUARD_ENDPOINT is
 * set. Otherwise nothing is sent and the result is VORN_GUARD_E_NOT_SERVICE.
 *
 * Versions: VORN_GUARD_VERSION_* and vorn_guard_version() name this module;
 * it speaks protocol "1.0.0" and reports VORN_GUARD_E_VERSION when the
 * service answers with another.
 */
#ifndef VORN_GUARD_H
#define VORN_GUARD_H

#if defined(_WIN32)
#if defined(VORN_GUARD_BUILDING)
#define VORN_GUARD_API __declspec(dllexport)
#else
#define VORN_GUARD_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VORN_GUARD_API __attribute__((visibility("default")))
#else
#define VORN_GUARD_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* This module's version; vorn_guard_version() gives the same as text. */
#define VORN_GUARD_VERSION_MAJOR 1
#define VORN_GUARD_VERSION_MINOR 0
#define VORN_GUARD_VERSION_PATCH 0

/* Results of vorn_guard_start() / vorn_guard_start_ex(). Every code has a
 * text: vorn_guard_strerror(). */
#define VORN_GUARD_OK 0
/* Nothing listens at the service's endpoint, or the service stayed busy for
 * the whole time limit. */
#define VORN_GUARD_E_CONNECT 1
/* The service answered with an error reply; vorn_guard_last_error() holds
 * it, e.g. "ERR|INTEGRITY". */
#define VORN_GUARD_E_REFUSED 2
/* No reply within the time limit, the connection closed without a reply, or
 * a reply that is neither "OK|<token>|1.0.0" nor "ERR|...". */
#define VORN_GUARD_E_NO_REPLY 3
/* A session is already running in this process. */
#define VORN_GUARD_E_STARTED 4
/* The module could not hash its host executable or its own file. */
#define VORN_GUARD_E_EVIDENCE 5
/* client_tag is NULL or holds a bar '|'. */
#define VORN_GUARD_E_ARGUMENT 6
/* heartbeat_interval_ms is neither 0 nor within VORN_GUARD_MIN_INTERVAL_MS
 * to VORN_GUARD_MAX_INTERVAL_MS. Nothing was sent. */
#define VORN_GUARD_E_INTERVAL 7
/* client_tag is shorter than 12 bytes, which the service would refuse.
 * Nothing was sent. */
#define VORN_GUARD_E_TAG 8
/* The service accepted the HELLO but speaks another protocol version than
 * this module's "1.0.0"; vorn_guard_last_error() names it. The connection
 * is closed. */
#define VORN_GUARD_E_VERSION 9
/* Something answers at the endpoint, but it is not the guard service (see
 * "Talking only to the real service" above). Nothing was sent. */
#define VORN_GUARD_E_NOT_SERVICE 10

/* Heartbeat interval used when 0 is passed, in milliseconds. The service
 * ends a session after 12000 ms without a heartbeat. */
#define VORN_GUARD_DEFAULT_INTERVAL_MS 5000u
/* The accepted range: slower than the maximum risks the service's 12000 ms
 * limit after one late heartbeat; faster than the minimum floods the pipe,
 * which the service reads once every 200 ms. */
#define VORN_GUARD_MIN_INTERVAL_MS 250u
#define VORN_GUARD_MAX_INTERVAL_MS 8000u

/*
 * Opens a session with the guard service: connects, sends
 * "HELLO|<pid>|<client_tag>|<evidence_1>|<evidence_2>" (the SHA-256 of the
 * host executable file and of this module's own file), waits for the reply
 * and, on "OK|<token>|1.0.0", starts the heartbeat thread. The first heartbeat
 * goes out at once, then one every heartbeat_interval_ms (0 = 5000).
 *
 * client_tag names the client to the service: at least 12 bytes, no bar
 * '|'. heartbeat_interval_ms is 0 or within 250..8000. Both are checked
 * before anything is sent.
 *
 * When nothing listens at the endpoint (no service running) it fails at once
 * with VORN_GUARD_E_CONNECT. It waits only while the service is there but
 * busy (all its places taken), at most 3000 ms, and then at most 10000 ms
 * for the reply.
 *
 * The evidence is computed once per start, at its first attempt that reaches
 * the service, and reused by that start's reconnects. Values the service
 * refuses with "ERR|INTEGRITY" that may be stale (remembered, or from the
 * player's cache) are computed again from the files, once.
 *
 * Returns VORN_GUARD_OK or one of the VORN_GUARD_E_ codes above. On a
 * failure nothing is left running; after VORN_GUARD_OK the session
 * reconnects by itself as described above.
 */
VORN_GUARD_API int vorn_guard_start(const char* client_tag,
                                    unsigned heartbeat_interval_ms);

/*
 * The same with one time limit, in milliseconds, for waiting for a busy
 * service and another one as long for the reply (0 = the defaults of
 * vorn_guard_start()).
 */
VORN_GUARD_API int vorn_guard_start_ex(const char* client_tag,
                                       unsigned heartbeat_interval_ms,
                                       unsigned timeout_ms);

/*
 * Ends the session: stops and joins the heartbeat thread, sends
 * "BYE|<token>", waits briefly (at most 1000 ms) for the service to close its
 * end, and closes the connection. Does nothing when no session is running.
 * Statistics and the last error stay readable until the next start.
 */
VORN_GUARD_API void vorn_guard_stop(void);

/*
 * 1 while a session is open with the service; 0 otherwise (never started,
 * stopped, reconnecting, or refused).
 */
VORN_GUARD_API int vorn_guard_is_connected(void);

/*
 * A short text about the last failure: the service's error reply
 * ("ERR|INTEGRITY"), or the module's own words ("connect failed: " and the
 * system's words, "no reply",
 * "connection closed by the service"). Empty when nothing failed. The
 * returned text is the calling thread's own copy, valid until that thread
 * calls this function again.
 */
VORN_GUARD_API const char* vorn_guard_last_error(void);

/*
 * A fixed English text for a result code ("the service refused the
 * handshake", ...); "unknown result" for a code this module does not know.
 * Never NULL; the text lives as long as the module.
 */
VORN_GUARD_API const char* vorn_guard_strerror(int code);

/* This module's version as text, "1.0.0". */
VORN_GUARD_API const char* vorn_guard_version(void);

/* What the event callback reports. */
/* A session is open: the HELLO was accepted (also after a reconnect). */
#define VORN_GUARD_EVENT_CONNECTED 1
/* The service refused the HELLO, or the module cannot make one; `result`
 * says which (VORN_GUARD_E_REFUSED, _VERSION, _EVIDENCE). No more attempts
 * follow: call vorn_guard_stop(). */
#define VORN_GUARD_EVENT_REFUSED 2
/* The service ended the open session (it stopped, restarted or closed the
 * connection). A reconnect follows at once. */
#define VORN_GUARD_EVENT_ENDED 3
/* An attempt failed (`result`: VORN_GUARD_E_CONNECT, _NO_REPLY or
 * _NOT_SERVICE); the next follows after a pause that doubles from 250 ms up
 * to 8000 ms. */
#define VORN_GUARD_EVENT_RECONNECTING 4

/*
 * Called on the module's own thread, never while the module holds a lock,
 * one event at a time. `detail` is the text vorn_guard_last_error() gives
 * for the event (the service's reply, "connect failed", ...), valid during
 * the call. Keep it short: heartbeats wait while it runs. It may call every
 * function of this header; vorn_guard_stop() from the callback only asks the
 * session to end (call it again from another thread to wait for that), and
 * vorn_guard_start*() from the callback returns VORN_GUARD_E_STARTED.
 */
typedef void (*vorn_guard_event_fn)(void* context, int event, int result,
                                    const char* detail);

struct vorn_guard_options {
  const char* client_tag;         /* as for vorn_guard_start() */
  unsigned heartbeat_interval_ms; /* 0 = 5000, else 250..8000 */
  unsigned timeout_ms;            /* as for vorn_guard_start_ex() */
  /* 0: wait for the first handshake and return its result, as
   * vorn_guard_start() does; the callback reports what follows.
   * 1: check the arguments, return at once, and let the callback report
   * every outcome (the first one at once when no service listens); failed
   * attempts to reach the service are repeated, with the pauses above, until
   * vorn_guard_stop(). */
  int nonblocking;
  vorn_guard_event_fn on_event; /* may be NULL */
  void* context;                /* handed to on_event */
};

/*
 * Starts a session as described by *options. Pass sizeof(struct
 * vorn_guard_options) as options_size, so later versions of the structure
 * stay compatible. Returns VORN_GUARD_OK or a VORN_GUARD_E_ code;
 * VORN_GUARD_E_ARGUMENT also for a NULL options or an unknown size.
 */
VORN_GUARD_API int vorn_guard_start_with(
    const struct vorn_guard_options* options, unsigned options_size);

/* Heartbeat figures since the last start, reconnects included. */
struct vorn_guard_stats {
  unsigned pings_sent;     /* PING messages written */
  unsigned pongs_received; /* PONG replies that matched a PING */
  unsigned last_rtt_ms;    /* round-trip time of the last matched PONG */
  unsigned min_rtt_ms;     /* 0 until the first PONG */
  unsigned max_rtt_ms;
  unsigned long long total_rtt_ms; /* sum over all matched PONGs */
};

/*
 * Copies the figures into *stats. Returns 0, or -1 when stats is NULL.
 * All figures are 0 before the first start.
 */
VORN_GUARD_API int vorn_guard_get_stats(struct vorn_guard_stats* stats);

#ifdef __cplusplus
}
#endif

#endif /* VORN_GUARD_H */
