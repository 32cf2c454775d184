#!/usr/bin/env bash
# The main job: builds the product for Linux and Windows (no tests, no
# benchmarks), then runs the Linux service in the foreground with its socket
# and log under build/demo/, lets a sample guarded client hold a session and
# another break a rule, and shows the log as it grows. Ctrl-C stops the
# service cleanly.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh --product

# Folders of their own: the test presets' folders keep their settings.
for preset in linux windows; do
  echo "=== building ${preset} (product only)"
  mkdir -p build
  cmake --preset "$preset" -B "build/product-${preset}" \
    -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF \
    >"build/product-${preset}-configure.log" 2>&1 || {
    cat "build/product-${preset}-configure.log"; exit 1; }
  cmake --build "build/product-${preset}"
done
echo "Windows binaries: build/product-windows/bin/ (vorn-guard-service.exe, vorn_guard.dll, vorn-guard-probe.exe)"

demo=$PWD/build/demo
mkdir -p "$demo/run" "$demo/data"
export RUNTIME_DIRECTORY=$demo/run
# The probe, like a game's guard module, looks at the fixed endpoint unless
# told otherwise; the demo's service runs as this user, which the module
# accepts only for an endpoint named this way.
export VORN_GUARD_ENDPOINT=$demo/run/VORNGuardLocalGuard
export ProgramData=$demo/data
log=$demo/data/VORN/ClientService/service.log

bin=$PWD/build/product-linux/bin
"$bin/vorn-guard-service" &
service=$!

stop() {
  trap - INT TERM
  echo
  echo "=== stopping the service (SIGTERM)"
  kill "${client:-}" 2>/dev/null || true
  kill -TERM "$service" 2>/dev/null || true
  status=0
  wait "$service" || status=$?
  kill "${tail_pid:-}" 2>/dev/null || true
  echo "=== service exited with ${status}; log: ${log}"
  exit "$status"
}
trap stop INT TERM

# Wait for the socket, then let a sample client hold a session.
for _ in $(seq 100); do [ -S "$demo/run/VORNGuardLocalGuard" ] && break; sleep 0.1; done
echo "=== service running (pid ${service}), socket ${demo}/run/VORNGuardLocalGuard"
echo "=== sample client: a 12-second session with a heartbeat every 2 s"
"$bin/vorn-guard-probe" session --seconds 12 --interval-ms 2000 &
client=$!

touch "$log"
echo "=== ${log} (Ctrl-C stops the service)"
tail -n +1 -f "$log" &
tail_pid=$!
sleep 3
echo "=== a client that breaks a rule: it sends heartbeat 1 twice (a replay)"
# The service terminates it; the shell's own "Killed" notice is left out.
{ "$bin/vorn-guard-probe" raw --load-guard \
    'HELLO|{pid}|demo-replaying-client|{e1}|{e2}' \
    'PING|{token}|1|first' 'PING|{token}|1|again'; } >/dev/null 2>&1 || true
wait "$client" || true
echo "=== sample clients done; the service keeps running until Ctrl-C"
wait "$service"
