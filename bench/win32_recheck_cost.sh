#!/bin/bash
# The service's CPU per session under Wine for a client whose executable is
# 512 MiB: a session held for SECONDS (its re-checks find the files the
# service holds and hash nothing), beside the CPU of one full hash of the
# same two files, which is what every re-check cost while Windows hashed
# again each time (one every 10 s).
#
#   bench/win32_recheck_cost.sh [SECONDS]      (default 60)
#
# Build first: cmake --preset windows && cmake --build --preset windows.
# Uses a Wine prefix of its own (build/windows/bench-wineprefix) and its own
# registration of the service, removed at the end. Run it alone: other load
# on the machine shows in the figures.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/windows/bin
seconds=${1:-60}
client_mib=${VORN_CLIENT_MIB:-512}
service=VORNGuardLocalService
export VORN_WINEPREFIX=$root/build/windows/bench-wineprefix
run="$root/cmake/wine-run.sh"
hz=$(getconf CLK_TCK)

for program in vorn-guard-service.exe vorn-guard-probe.exe vorn_guard.dll; do
  [ -e "$bin/$program" ] || { echo "missing $bin/$program" >&2; exit 2; }
done

work=$(mktemp -d)
cleanup() {
  "$run" sc stop "$service" >/dev/null 2>&1 || true
  sleep 3
  "$run" sc delete "$service" >/dev/null 2>&1 || true
  "$run" --cleanup >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# The client: the probe, padded to 512 MiB after its image (data the loader
# never maps), beside its guard module.
cp "$bin/vorn-guard-probe.exe" "$bin/vorn_guard.dll" "$work/"
[ "$client_mib" -gt 0 ] && truncate -s "${client_mib}M" "$work/vorn-guard-probe.exe"
client="$work/vorn-guard-probe.exe"

"$run" --setup >/dev/null
"$run" sc delete "$service" >/dev/null 2>&1 || true
"$run" sc create "$service" \
  binPath= "$("$run" winepath -w "$bin/vorn-guard-service.exe" | tr -d '\r')" \
  >/dev/null
"$run" sc start "$service" >/dev/null
sleep 3
pid=$(pgrep -f 'vorn-guard-service.exe' | head -1)
[ -n "$pid" ] || { echo "the service did not start" >&2; exit 1; }

# Service CPU in clock ticks (user + system). Wine's server does part of
# every call's work in its own process, which this does not count.
cpu() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }

# One handshake of the 512 MiB client: both files hashed once.
"$run" "$client" status >/dev/null   # warms the page cache
before=$(cpu)
"$run" "$client" status >/dev/null
hash_ticks=$(( $(cpu) - before ))

# The same client holding a session, measured from its SESSION READY line
# on (its handshake is the hash above), and the idle service for as long.
log="$VORN_WINEPREFIX/drive_c/users/Public/VORN/ClientService/service.log"
ready_lines() { grep -c "SESSION READY" "$log" 2>/dev/null || true; }
ready_before=$(ready_lines)
"$run" "$client" session --seconds $((seconds + 30)) --interval-ms 5000 \
  >/dev/null &
session=$!
for _ in $(seq 600); do
  [ "$(ready_lines)" -gt "$ready_before" ] && break
  sleep 0.1
done
[ "$(ready_lines)" -gt "$ready_before" ] || { echo "no session" >&2; exit 1; }
before=$(cpu)
sleep "$seconds"
session_ticks=$(( $(cpu) - before ))
wait "$session"
before=$(cpu)
sleep "$seconds"
idle_ticks=$(( $(cpu) - before ))

awk -v hz="$hz" -v s="$seconds" -v h="$hash_ticks" -v t="$session_ticks" \
    -v i="$idle_ticks" -v mib="$client_mib" 'BEGIN {
  printf "client image: %s MiB; session: %d s; clock ticks: %d/s\n", mib, s, hz
  printf "one hash of both files (the handshake): %.0f ms of service CPU\n", h * 1000 / hz
  printf "a session, files held, re-checks included: %.3f %% of one core\n", (t - i) * 100 / hz / s
  printf "  (service with that session %.3f %%, idle %.3f %%)\n", t * 100 / hz / s, i * 100 / hz / s
  printf "the same if every re-check hashed again: about %.3f %% (one hash per 10 s)\n", h * 100 / hz / 10
}'
