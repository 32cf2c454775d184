#!/usr/bin/env bash
# Builds the installed example client the two ways a studio would, from the
# installed files only (header, library, pkg-config file, CMake package),
# and runs both against the installed service, which must log their
# sessions. The service runs in the foreground as the current user, with its
# socket and log in a temporary folder; the clients find it through
# VORN_GUARD_ENDPOINT. The CMake build runs after the installed tree was
# moved, so the package must find itself from where it lies.
#
#   sdk_test.sh BUILD_DIR [CMAKE]
#
# Exit codes: 0 passed, 1 failed, 77 cannot run here (no cc or pkg-config).
set -euo pipefail

build_dir=${1:?usage: sdk_test.sh BUILD_DIR [CMAKE]}
cmake=${2:-cmake}

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }

if ! command -v cc >/dev/null || ! command -v pkg-config >/dev/null; then
  echo "SKIP: cc or pkg-config is missing"
  exit 77
fi

work=$(mktemp -d)
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then kill -KILL "$service_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---------------------------------------------------------------- install
# The three packages' components: the module, its development files, and
# the service the clients talk to.
for component in library dev vorn; do
  if ! "$cmake" --install "$build_dir" --prefix "$work/staged" \
      --component "$component" >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: cmake --install --component $component"
    exit 1
  fi
done
examples=share/doc/libvorn-guard-dev/examples
# The library folder below the prefix, as the build chose it (Debian's
# multiarch folder, lib/x86_64-linux-gnu).
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build_dir/CMakeCache.txt")

# ---------------------------------------------------------------- builds
export PKG_CONFIG_PATH=$work/staged/$libdir/pkgconfig
mkdir "$work/pkg-config"
# shellcheck disable=SC2046
if cc -std=c99 -Wall -Wextra -Wpedantic -Werror \
    "$work/staged/$examples/minimal_client.c" \
    $(pkg-config --cflags --libs vorn-guard) \
    -o "$work/pkg-config/minimal_client" 2>"$work/cc.log"; then
  pass "the example builds with pkg-config's flags"
else
  cat "$work/cc.log"
  fail "building the example with pkg-config's flags"
fi

mv "$work/staged" "$work/sdk"
if "$cmake" -S "$work/sdk/$examples" -B "$work/cmake" \
    -DCMAKE_PREFIX_PATH="$work/sdk" -DCMAKE_C_FLAGS=-Werror \
    >"$work/cmake.log" 2>&1 &&
    "$cmake" --build "$work/cmake" >>"$work/cmake.log" 2>&1; then
  pass "the example builds with find_package(VornGuard) from a moved prefix"
else
  cat "$work/cmake.log"
  fail "building the example with find_package(VornGuard)"
fi
# Linked by its SONAME, the name of the file that the runtime package has.
for client in "$work/pkg-config/minimal_client" "$work/cmake/minimal_client"; do
  if [ -x "$client" ] &&
      ! readelf -d "$client" | grep -qF '[libvorn_guard.so.1]'; then
    fail "$client does not need libvorn_guard.so.1"
  fi
done

# ---------------------------------------------------------------- service
mkdir -p "$work/run" "$work/data/VORN/ClientService"
RUNTIME_DIRECTORY=$work/run ProgramData=$work/data \
  CONFIGURATION_DIRECTORY=$work/data/VORN/ClientService \
  "$work/sdk/bin/vorn-guard-service" >"$work/service.out" 2>&1 &
service_pid=$!
for _ in $(seq 100); do
  [ -S "$work/run/VORNGuardLocalGuard" ] && break
  sleep 0.1
done
export VORN_GUARD_ENDPOINT=$work/run/VORNGuardLocalGuard

run_client() {  # NAME COMMAND...: runs it for 3 s, expects exit code 0
  local name=$1 code=0
  shift
  "$@" 3 >"$work/$name.out" 2>&1 || code=$?
  sed 's/^/    /' "$work/$name.out"
  if [ "$code" = 0 ] && grep -q '\] connected$' "$work/$name.out"; then
    pass "$name client held a session"
  else
    fail "$name client exits $code"
  fi
}
# pkg-config's flags set no run path; CMake's build tree has one.
run_client pkg-config env LD_LIBRARY_PATH="$work/sdk/$libdir" \
  "$work/pkg-config/minimal_client"
run_client cmake "$work/cmake/minimal_client"

kill -TERM "$service_pid"
service_status=0
wait "$service_pid" || service_status=$?
service_pid=
if [ "$service_status" != 0 ]; then
  cat "$work/service.out"
  fail "service exit code $service_status after SIGTERM"
fi
log=$work/data/VORN/ClientService/service.log
sessions=$(grep -c 'SESSION READY pid=[0-9]* host=minimal_client' "$log" || true)
if [ "$sessions" = 2 ]; then
  pass "the service logged both clients' sessions"
else
  cat "$log" 2>/dev/null || echo "no log at $log"
  fail "expected 2 sessions of minimal_client in the log, found $sessions"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all SDK checks passed"
