/*
 * A minimal game client guarded by the VORN guard module: starts a session
 * without waiting for it, reports every event the module sends, runs for a
 * few seconds, prints the heartbeat figures and stops.
 *
 *   minimal_client [seconds]      (default 5)
 *
 * Exit code 0 when a session with the service was open at the end, else 1.
 * Copy what you need into your game: start early, stop before exit.
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <time.h>
#endif

#include <vorn_guard.h>

/* Stands in for a frame of the game's main loop. */
static void wait_one_second(void) {
#ifdef _WIN32
  Sleep(1000);
#else
  struct timespec second;
  second.tv_sec = 1;
  second.tv_nsec = 0;
  nanosleep(&second, NULL);
#endif
}

/* Runs on the module's thread: keep it short, heartbeats wait meanwhile. */
static void on_guard_event(void* context, int event, int result,
                           const char* detail) {
  const char* prefix = (const char*)context;
  switch (event) {
    case VORN_GUARD_EVENT_CONNECTED:
      printf("%s connected\n", prefix);
      break;
    case VORN_GUARD_EVENT_REFUSED:
      /* Final: the module makes no further attempt. */
      printf("%s refused: %s (%s)\n", prefix, vorn_guard_strerror(result),
             detail);
      break;
    case VORN_GUARD_EVENT_ENDED:
      printf("%s session ended by the service (%s), reconnecting\n", prefix,
             detail);
      break;
    case VORN_GUARD_EVENT_RECONNECTING:
      printf("%s not reached: %s (%s), trying again\n", prefix,
             vorn_guard_strerror(result), detail);
      break;
    default:
      printf("%s event %d: %s\n", prefix, event, detail);
      break;
  }
  fflush(stdout);
}

static int seconds_to_run(int argc, char** argv) {
  char* end = NULL;
  long seconds;
  if (argc < 2) return 5;
  seconds = strtol(argv[1], &end, 10);
  if (end == argv[1] || *end != '\0' || seconds < 1 || seconds > 3600) {
    return -1;
  }
  return (int)seconds;
}

/* Handed to every event, here only to show what `context` is for. */
static char event_prefix[] = "[guard]";

int main(int argc, char** argv) {
  struct vorn_guard_options options;
  struct vorn_guard_stats stats;
  int seconds = seconds_to_run(argc, argv);
  int result;
  int connected;
  int i;

  if (seconds < 0) {
    fprintf(stderr, "usage: %s [seconds, 1..3600]\n", argv[0]);
    return 2;
  }
  printf("guard module %s\n", vorn_guard_version());

  /* Zeroed first, so fields a later header adds keep their defaults. */
  memset(&options, 0, sizeof options);
  options.client_tag = "example-minimal-client";
  options.heartbeat_interval_ms = 1000;
  options.nonblocking = 1;
  options.on_event = on_guard_event;
  options.context = event_prefix;
  result = vorn_guard_start_with(&options, (unsigned)sizeof options);
  if (result != VORN_GUARD_OK) {
    /* Only the arguments are checked before a non-blocking start returns. */
    fprintf(stderr, "vorn_guard_start_with: %s\n", vorn_guard_strerror(result));
    return 1;
  }

  for (i = 0; i < seconds; ++i) wait_one_second();

  connected = vorn_guard_is_connected();
  if (vorn_guard_get_stats(&stats) == 0) {
    printf(
        "pings sent %u, pongs received %u, round trip ms: last %u, "
        "min %u, max %u, average %llu\n",
        stats.pings_sent, stats.pongs_received, stats.last_rtt_ms,
        stats.min_rtt_ms, stats.max_rtt_ms,
        stats.pongs_received != 0 ? stats.total_rtt_ms / stats.pongs_received
                                  : 0ull);
  }
  vorn_guard_stop();
  printf("%s\n",
         connected ? "session was open at the end" : "no session at the end");
  return connected ? 0 : 1;
}
