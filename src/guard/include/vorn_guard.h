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
 * vorn_guard_start(). One session per process; every function is safe to
 * call from any thread.
 *
 * Files: vorn_guard.dll (Windows) and libvorn_guard.so (Linux). The service
 * finds the module in the client process by exactly these file names, so a
 * renamed copy is not recognised.
 *
 * Where each call may be made:
 * - vorn_guard_start(), vorn_guard_start_ex() and vorn_guard_stop() wait (for
 *   the service, up to about 13 s, and for the heartbeat thread). Call them
 *   from ordinary program code, an executable's atexit() handlers included;
 *   never from DllMain, from the constructors or destructors of a DLL's or
 *   shared object's static objects (they run while the loader is busy), or
 *   while holding a lock the heartbeat thread could need.
 * - Every other call only reads a few figures under a short lock and may be
 *   made from any thread at any time, except from a signal handler.
 * - Start and stop are serialised: a start while a session exists returns
 *   VORN_GUARD_E_STARTED; a second stop does nothing.
 *
 * When the session ends without vorn_guard_stop() (the service stopped or
 * restarted, or ended the session), vorn_guard_is_connected() turns 0 and
 * the session still counts as started: call vorn_guard_stop(), then
 * vorn_guard_start() again. A client paused in a debugger sends no
 * heartbeats: after 12000 ms the service ends the session and terminates
 * the client, so debug with the service stopped.
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
/* The service's endpoint could not be reached within the time limit. */
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
 * Waits at most 3000 ms for the endpoint and 10000 ms for the reply.
 * Returns VORN_GUARD_OK or one of the VORN_GUARD_E_ codes above.
 */
VORN_GUARD_API int vorn_guard_start(const char* client_tag,
                                    unsigned heartbeat_interval_ms);

/*
 * The same with one time limit, in milliseconds, for connecting and another
 * one as long for the reply (0 = the defaults of vorn_guard_start()).
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
 * 1 while a session is running and the service has not closed the
 * connection; 0 otherwise (never started, stopped, or closed by the service).
 */
VORN_GUARD_API int vorn_guard_is_connected(void);

/*
 * A short text about the last failure: the service's error reply
 * ("ERR|INTEGRITY"), or the module's own words ("connect failed", "no reply",
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

/* Heartbeat figures of the current (or last) session. */
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
