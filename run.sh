#!/usr/bin/env bash
# The main job: builds the Linux product (service, guard module, probe; no
# tests, no benchmarks) and the example game examples/minimal_client.c, then
# runs the service with its socket, log and trusted-digest list under
# build/demo/ (no root needed) and shows, in three steps, what it does:
#   1. the genuine game holds a clean session;
#   2. a copy of the game with one byte changed is refused (ERR|INTEGRITY);
#   3. a client that replays a heartbeat is terminated.
# Then it stops the service (SIGTERM) and ends: exit 0 when every step went
# as expected, 1 with the reason when one did not.
#   ./run.sh           the demo, then exit
#   ./run.sh --serve   the demo, then keep the service running until Ctrl-C
# Every wait has a bound; VORN_DEMO_TIME_SCALE=N multiplies them all by N
# for a very slow or loaded machine.
set -euo pipefail
cd "$(dirname "$0")"

serve=false
case "${1:-}" in
  "") ;;
  --serve) serve=true ;;
  *) echo "usage: $0 [--serve]" >&2; exit 2 ;;
esac
scale=${VORN_DEMO_TIME_SCALE:-1}
case "$scale" in
  '' | *[!0-9]* | 0) echo "error: VORN_DEMO_TIME_SCALE must be a whole number >= 1" >&2; exit 2 ;;
esac

heading() { printf '\n=== %s\n' "$*"; }
# Says what went wrong, with all the service said, and ends with 1.
fail() {
  echo "FAILED: $*" >&2
  if [ -s "${diagnostics:-}" ]; then
    echo "--- the service's diagnostics so far:" >&2
    sed 's/^/  /' "$diagnostics" >&2
  fi
  exit 1
}

scripts/install-deps.sh --product

heading "Building the Linux product (service, guard module, probe)"
# A folder of its own: the test preset's folder keeps its settings.
mkdir -p build
product=build/product-linux
cmake --preset linux -B "$product" \
  -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF \
  >"$product-configure.log" 2>&1 || { cat "$product-configure.log"; exit 1; }
# One job per core unless told otherwise.
cmake --build "$product" --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
bin=$PWD/$product/bin

# Everything the demo writes lives here, fresh for every run.
demo=$PWD/build/demo
rm -rf "$demo"
mkdir -p "$demo/run" "$demo/data" "$demo/config" "$demo/cache" "$demo/game"

heading "Building the example game against the guard module's header and library"
# As a game does it (examples/README.md), but against the build folder
# instead of an installed package; the rpath finds the module there.
game=$demo/game/minimal_client
echo "cc examples/minimal_client.c -I src/guard/include -L $product/bin -lvorn_guard"
"${CC:-cc}" -O2 -Wall -Wextra -I src/guard/include examples/minimal_client.c \
  -L "$bin" -lvorn_guard -Wl,-rpath,"$bin" -o "$game"

# The tampered game: its copy with the "u" of its usage text made a "U".
# It still runs and its module still reports its files' true digests, but
# those are not the digests of a build the operator knows.
patched=$demo/game/minimal_client_patched
cp "$game" "$patched"
offset=$(grep -obUa 'usage: %s' "$patched" | head -n 1 | cut -d: -f1)
[ -n "$offset" ] || fail "no usage text found in $game to patch"
printf 'U' | dd of="$patched" bs=1 seek="$offset" conv=notrunc status=none

# The service's folders, through the variables its systemd unit would set.
# The probe and the guard module look at the fixed socket unless told
# otherwise; the module accepts a service running as this user only for a
# socket named this way.
export RUNTIME_DIRECTORY=$demo/run
export VORN_GUARD_ENDPOINT=$demo/run/VORNGuardLocalGuard
export ProgramData=$demo/data
export CONFIGURATION_DIRECTORY=$demo/config
# The guard module's evidence cache, kept out of the home folder.
export XDG_CACHE_HOME=$demo/cache
log=$demo/data/VORN/ClientService/service.log
diagnostics=$demo/service.stderr

heading "Starting the service with a trusted-digest list: it admits these builds only"
# The genuine game, the module, and the probe that plays the rule breaker in
# step 3. The service trusts the list only when no one but root or its own
# user can have written it, or its folder.
list=$CONFIGURATION_DIRECTORY/trusted-digests
sha256sum "${game#"$PWD"/}" "$product/bin/libvorn_guard.so.1" \
  "$product/bin/vorn-guard-probe" >"$list"
chmod 755 "$CONFIGURATION_DIRECTORY"
chmod 644 "$list"
echo "${list#"$PWD"/}:"
sed 's/^/  /' "$list"

service=
client=
tail_pid=
# Whatever path the script leaves by, no child outlives it.
cleanup() {
  local p
  for p in $tail_pid $client $service; do
    kill -KILL "$p" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'echo "interrupted" >&2; exit 130' INT
trap 'exit 143' TERM

"$bin/vorn-guard-service" 2>"$diagnostics" &
service=$!

# Polls a condition every 0.1 s for at most $1 seconds (times the scale).
within() {
  local tenths=$(($1 * scale * 10))
  shift
  while ! "$@"; do
    tenths=$((tenths - 1))
    [ "$tenths" -gt 0 ] || return 1
    sleep 0.1
  done
}
service_up() {
  kill -0 "$service" 2>/dev/null || fail "the service ended at its start: $(cat "$diagnostics")"
  [ -S "$VORN_GUARD_ENDPOINT" ]
}
ended() { ! kill -0 "$1" 2>/dev/null; }
# The log's lines end with CR LF.
log_has() { grep -qE -- "$1" "$log" 2>/dev/null; }
diagnostics_have() { grep -q -- "$1" "$diagnostics"; }

within 30 service_up || fail "the service did not open its socket within $((30 * scale)) s"
echo "service running (pid ${service}), socket ${VORN_GUARD_ENDPOINT#"$PWD"/}"
echo "its log: ${log#"$PWD"/}; its diagnostics (standard error): ${diagnostics#"$PWD"/}"

# What each step added to the log and to the diagnostics.
log_seen=0
diagnostics_seen=0
show_new() {
  local name=$1 file=$2 seen=$3
  echo "--- ${name}:"
  if [ "$(wc -l <"$file")" -gt "$seen" ]; then
    tail -n +"$((seen + 1))" "$file" | sed 's/^/  /'
  else
    echo "  (nothing new)"
  fi
}
show_both() {
  show_new "service.log" "$log" "$log_seen"
  show_new "diagnostics" "$diagnostics" "$diagnostics_seen"
  log_seen=$(wc -l <"$log")
  diagnostics_seen=$(wc -l <"$diagnostics")
}
show_both

# Runs a client in the background for at most $1 seconds (times the scale),
# its output into $demo/<name>.out; sets pid (the client's) and status.
run_client() {
  local bound=$1 name=$2
  shift 2
  "$@" >"$demo/$name.out" 2>&1 &
  client=$!
  pid=$client
  # The shell's own "Killed" notice for a client the service killed comes
  # while it waits: left out.
  within "$bound" ended "$client" 2>/dev/null ||
    fail "$name still ran after $((bound * scale)) s"
  status=0
  wait "$client" 2>/dev/null || status=$?
  client=
  sed 's/^/  /' "$demo/$name.out"
}

heading "Step 1 of 3: the genuine game holds a clean session (5 s, a heartbeat a second)"
echo "\$ ${game#"$PWD"/} 5"
run_client 30 game "$game" 5
[ "$status" -eq 0 ] || fail "step 1: the game ended with $status, not 0 (a session open at the end)"
log_has "SESSION READY pid=$pid host=minimal_client" ||
  fail "step 1: no SESSION READY pid=$pid in the log"
within 10 log_has "SESSION CLOSED pid=$pid([^0-9]|\$)" ||
  fail "step 1: no SESSION CLOSED pid=$pid in the log"
! log_has "ENFORCEMENT pid=$pid " || fail "step 1: the game's session was enforced"
show_both

heading "Step 2 of 3: a tampered copy of the game (one byte changed) is refused"
# cmp lists the differing bytes (position, then both values in octal) and
# ends with 1 because there are some.
read -r byte genuine changed < <(cmp -l "$game" "$patched" || true)
echo "byte ${byte} of $(wc -c <"$patched"): $(printf '%b' "\\0$genuine") -> $(printf '%b' "\\0$changed")"
[ "$(cmp -l "$game" "$patched" | wc -l)" -eq 1 ] || fail "the copy differs in more than one byte"
echo "its SHA-256: $(sha256sum "$patched" | cut -d' ' -f1), not on the list"
# Long enough for the refusal to arrive while it runs.
seconds=$((3 * scale))
echo "\$ ${patched#"$PWD"/} $seconds"
run_client 30 patched "$patched" "$seconds"
grep -q "refused: .*(ERR|INTEGRITY)" "$demo/patched.out" ||
  fail "step 2: the tampered game was not refused with ERR|INTEGRITY"
[ "$status" -eq 1 ] || fail "step 2: the tampered game ended with $status, not 1 (no session)"
diagnostics_have "handshake refused, pid=$pid: digest not in the trusted list" ||
  fail "step 2: the diagnostics do not say why pid $pid was refused"
! log_has "pid=$pid " || fail "step 2: the log shows a session of the tampered game"
show_both
echo "(the reason may come twice: a guard module whose cached digests were"
echo " refused computes them afresh and asks once more)"

heading "Step 3 of 3: a client that replays a heartbeat is terminated"
echo "the probe loads the guard module, says HELLO, then sends heartbeat 1 twice:"
run_client 30 replay "$bin/vorn-guard-probe" raw --load-guard \
  'HELLO|{pid}|demo-replaying-client|{e1}|{e2}' \
  'PING|{token}|1|first' 'PING|{token}|1|again'
# SIGKILL from the service: 128 + 9.
[ "$status" -eq 137 ] || fail "step 3: the probe ended with $status, not killed by the service"
echo "  (no reply to the replay: the service killed the probe, exit code $status)"
within 10 log_has "SESSION CLOSED pid=$pid([^0-9]|\$)" ||
  fail "step 3: no SESSION CLOSED pid=$pid in the log"
log_has "ENFORCEMENT pid=$pid reason=LOCAL_PROTOCOL_REPLAY" ||
  fail "step 3: no ENFORCEMENT pid=$pid reason=LOCAL_PROTOCOL_REPLAY in the log"
show_both

# Stops the service as systemd would and checks that it ended cleanly.
stop_service() {
  heading "Stopping the service (SIGTERM)"
  kill -TERM "$service" 2>/dev/null || true
  within 30 ended "$service" || fail "the service still ran $((30 * scale)) s after SIGTERM"
  local code=0
  wait "$service" || code=$?
  service=
  show_both
  [ "$code" -eq 0 ] || fail "the service exited with $code"
  echo "the service exited with 0"
}

if $serve; then
  heading "The service keeps running (pid ${service}); Ctrl-C stops it"
  echo "try, in another terminal:"
  echo "  VORN_GUARD_ENDPOINT=$VORN_GUARD_ENDPOINT $product/bin/vorn-guard-probe status"
  echo "--- service.log and diagnostics as they grow:"
  tail -q -n 0 -f "$log" "$diagnostics" &
  tail_pid=$!
  trap 'trap - INT TERM; kill "$tail_pid"; stop_service; exit 0' INT TERM
  wait "$service" || true
  # Here only when the service ended by itself.
  fail "the service ended without being asked to; see ${diagnostics#"$PWD"/}"
fi

stop_service
heading "Done: every step went as expected"
