#!/usr/bin/env bash
# Builds the .deb from a built tree and checks it: its contents and control
# fields, the systemd unit (systemd-analyze verify, when available), and, as
# root with a usable dpkg, a real install, use and purge. The machine is left
# as it was: everything else happens in a temporary folder, and the package
# is purged again on every path once installed.
#
#   deb_test.sh BUILD_DIR [CPACK]
#
# Exit codes: 0 passed, 1 failed, 77 cannot run here (no cpack or dpkg-deb).
set -euo pipefail

build_dir=${1:?usage: deb_test.sh BUILD_DIR [CPACK]}
cpack=${2:-cpack}
package=vorn-guard
# Debian's multiarch library folder.
libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
skip() { echo "SKIP: $*"; }

if ! command -v "$cpack" >/dev/null || ! command -v dpkg-deb >/dev/null; then
  skip "cpack or dpkg-deb is missing"
  exit 77
fi

work=$(mktemp -d)
installed_by_us=0
cleanup() {
  if [ "$installed_by_us" = 1 ]; then
    dpkg -P "$package" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---------------------------------------------------------------- build
echo "--- cpack -G DEB into $work"
if ! "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work" \
    >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack could not build the package"
  exit 1
fi
shopt -s nullglob
debs=("$work"/*.deb)
if [ "${#debs[@]}" -ne 1 ]; then
  echo "FAIL: expected one .deb in $work, found ${#debs[@]}"
  exit 1
fi
deb=${debs[0]}
pass "built $(basename "$deb")"

# ---------------------------------------------------------------- contents
# The path of every entry; a link's line ends in "-> target".
dpkg-deb -c "$deb" | sed 's/ -> .*//' | awk '{print $NF}' |
  sed 's|^\./|/|' >"$work/contents"
expected=(
  /usr/bin/vorn-guard-service
  /usr/bin/vorn-guard-probe
  $libdir/libvorn_guard.so
  $libdir/libvorn_guard.so.1
  /usr/include/vorn_guard.h
  $libdir/pkgconfig/vorn-guard.pc
  $libdir/cmake/VornGuard/VornGuardConfig.cmake
  $libdir/cmake/VornGuard/VornGuardConfigVersion.cmake
  /usr/share/doc/vorn-guard/examples/minimal_client.c
  /usr/share/doc/vorn-guard/examples/CMakeLists.txt
  /usr/lib/systemd/system/vorn-guard-service.service
  /usr/share/doc/vorn-guard/README.md
  /usr/share/doc/vorn-guard/docs/protocol.md
  /usr/share/doc/vorn-guard/docs/operations.md
)
for path in "${expected[@]}"; do
  if grep -qxF "$path" "$work/contents"; then
    pass "contains $path"
  else
    fail "missing $path"
  fi
done
# Test programs and test frameworks stay out of the package (the docs may
# speak of fuzzing and soak runs).
if grep -v '/share/doc/' "$work/contents" |
    grep -Ei '(_tests?|test_|gtest|gmock|fuzz)'; then
  fail "the package holds test files (listed above)"
else
  pass "no test files"
fi

field() { dpkg-deb -f "$deb" "$1"; }
# True when dpkg knows nothing of the package, or only that it was purged.
package_absent() {
  local status
  status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)
  case "$status" in
    "" | *not-installed) return 0 ;;
    *) return 1 ;;
  esac
}
check_field() {
  local value
  value=$(field "$1")
  if [ "$value" = "$2" ]; then
    pass "$1: $2"
  else
    fail "$1 is '$value', not '$2'"
  fi
}
check_field Package "$package"
check_field Version 1.0.0
check_field Maintainer "VORN maintainers <maintainers@vorn.invalid>"
depends=$(field Depends)
for dependency in libc6 libssl3; do
  if [[ "$depends" == *"$dependency"* ]]; then
    pass "depends on $dependency"
  else
    fail "Depends ('$depends') lacks $dependency"
  fi
done

# Maintainer scripts: present, executable, and touching systemd only when it
# runs.
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  if [ -x "$work/control/$script" ] &&
      grep -qF '[ -d /run/systemd/system ]' "$work/control/$script"; then
    pass "$script guards its systemctl calls"
  else
    fail "$script missing, not executable or unguarded"
  fi
done

# The loader's cache is refreshed by libc-bin's ldconfig trigger.
if grep -qx 'activate-noawait ldconfig' "$work/control/triggers" 2>/dev/null; then
  pass "triggers ldconfig"
else
  fail "no ldconfig trigger"
fi

dpkg-deb -x "$deb" "$work/root"
# The SONAME's link points at the file the service recognises by name.
if [ "$(readlink "$work/root$libdir/libvorn_guard.so.1")" = libvorn_guard.so ]; then
  pass "libvorn_guard.so.1 -> libvorn_guard.so"
else
  fail "libvorn_guard.so.1: $(ls -l "$work/root$libdir/libvorn_guard.so.1" 2>&1)"
fi
unit=$work/root/usr/lib/systemd/system/vorn-guard-service.service
if grep -qx 'ExecStart=/usr/bin/vorn-guard-service' "$unit"; then
  pass "unit starts /usr/bin/vorn-guard-service"
else
  fail "unit ExecStart: $(grep '^ExecStart' "$unit" || echo none)"
fi
pc=$work/root$libdir/pkgconfig/vorn-guard.pc
if grep -qx 'prefix=/usr' "$pc"; then
  pass "vorn-guard.pc has prefix=/usr"
else
  fail "vorn-guard.pc: $(grep '^prefix' "$pc" || echo no prefix)"
fi
if "$work/root/usr/bin/vorn-guard-service" --help >/dev/null; then
  pass "packaged vorn-guard-service --help"
else
  fail "packaged vorn-guard-service --help failed"
fi

# ---------------------------------------------------------------- unit
if command -v systemd-analyze >/dev/null; then
  # A copy whose ExecStart names the unpacked binary, so the check finds it
  # without the package installed; any warning counts as a failure.
  mkdir -p "$work/verify"
  sed "s|/usr/bin/vorn-guard-service|$work/root/usr/bin/vorn-guard-service|" \
    "$unit" >"$work/verify/vorn-guard-service.service"
  if systemd-analyze verify "$work/verify/vorn-guard-service.service" \
      >"$work/verify.log" 2>&1 && [ ! -s "$work/verify.log" ]; then
    pass "systemd-analyze verify"
  else
    cat "$work/verify.log"
    fail "systemd-analyze verify"
  fi
else
  skip "systemd-analyze not found: the unit is not verified"
fi

# ---------------------------------------------------------------- install
# Why the package cannot be installed here; empty when it can.
install_skip_reason() {
  if [ "$(id -u)" != 0 ]; then
    echo "not running as root"
  elif ! command -v dpkg >/dev/null || ! dpkg-query -W dpkg >/dev/null 2>&1; then
    echo "no usable dpkg"
  elif ! package_absent "$package"; then
    echo "$package is already on this machine; left alone"
  elif [ -d /run/systemd/system ]; then
    # postinst would start the service, which would leave its log behind.
    echo "systemd is running"
  else
    local dependency path
    for dependency in $(echo "$depends" | tr ',' '\n' | awk '{print $1}'); do
      if ! dpkg-query -W -f='${Status}' "$dependency" 2>/dev/null |
          grep -q 'ok installed'; then
        echo "dependency $dependency is not installed"
        return
      fi
    done
    for path in "${expected[@]}"; do
      if [ -e "$path" ]; then
        echo "$path exists already"
        return
      fi
    done
  fi
}
reason=$(install_skip_reason)
if [ -n "$reason" ]; then
  skip "dpkg install and removal: $reason"
else
  echo "--- dpkg -i"
  installed_by_us=1
  if dpkg -i "$deb" >"$work/dpkg-i.log" 2>&1; then
    pass "dpkg -i"
  else
    cat "$work/dpkg-i.log"
    fail "dpkg -i"
  fi
  # dpkg ran the ldconfig trigger: the loader's cache knows the SONAME
  # (as /lib/... where /lib is a link to /usr/lib).
  if ldconfig -p | grep -q "libvorn_guard\.so\.1 .*=> \(/usr\)\?${libdir#/usr}/libvorn_guard\.so\.1\$"; then
    pass "the loader's cache has libvorn_guard.so.1"
  else
    fail "libvorn_guard.so.1 is not in the loader's cache"
  fi
  if /usr/bin/vorn-guard-service --help >/dev/null; then
    pass "/usr/bin/vorn-guard-service --help"
  else
    fail "/usr/bin/vorn-guard-service --help"
  fi
  if /usr/bin/vorn-guard-probe --help >/dev/null; then
    pass "vorn-guard-probe --help"
  else
    fail "vorn-guard-probe --help"
  fi
  # The installed service and probe together, with the socket and the log in
  # the temporary folder: the probe loads $libdir/libvorn_guard.so, and the
  # service must find it mapped in the probe.
  mkdir -p "$work/run" "$work/data"
  RUNTIME_DIRECTORY=$work/run ProgramData=$work/data \
    /usr/bin/vorn-guard-service >"$work/service.out" 2>&1 &
  service_pid=$!
  for _ in $(seq 50); do
    [ -S "$work/run/VORNGuardLocalGuard" ] && break
    sleep 0.1
  done
  if VORN_GUARD_ENDPOINT=$work/run/VORNGuardLocalGuard \
      /usr/bin/vorn-guard-probe status \
      >"$work/probe.out" 2>&1; then
    pass "installed probe passes a handshake with the installed service"
  else
    cat "$work/probe.out" "$work/service.out"
    fail "installed probe status"
  fi
  # The evidence of the installed module, which is not beside the probe here
  # but in the library folder.
  if /usr/bin/vorn-guard-probe evidence >"$work/evidence.out" 2>&1 &&
      grep -qxF "# module=$libdir/libvorn_guard.so" "$work/evidence.out"; then
    pass "vorn-guard-probe evidence finds $libdir/libvorn_guard.so"
  else
    cat "$work/evidence.out"
    fail "vorn-guard-probe evidence in the installed layout"
  fi
  kill -TERM "$service_pid" 2>/dev/null || true
  service_status=0
  wait "$service_pid" || service_status=$?
  if [ "$service_status" = 0 ]; then
    pass "service stopped with exit code 0"
  else
    fail "service exit code $service_status after SIGTERM"
  fi
  if grep -q 'SESSION READY pid=[0-9]* host=vorn-guard-probe' \
      "$work/data/VORN/ClientService/service.log" 2>/dev/null; then
    pass "the log has the probe's session"
  else
    fail "no SESSION READY for the probe in the log"
  fi
  if command -v pkg-config >/dev/null; then
    export PKG_CONFIG_PATH=$libdir/pkgconfig
    if pkg-config --cflags vorn-guard >/dev/null &&
        [ "$(pkg-config --modversion vorn-guard)" = "1.0.0" ] &&
        [ "$(pkg-config --variable=includedir vorn-guard)" = "/usr/include" ] &&
        pkg-config --libs vorn-guard | grep -q -- '-lvorn_guard'; then
      pass "pkg-config vorn-guard"
    else
      fail "pkg-config vorn-guard: $(pkg-config --cflags --libs vorn-guard 2>&1)"
    fi
    # A client built against the installed header and library.
    if command -v cc >/dev/null; then
      cat >"$work/client.c" <<'EOF'
#include <vorn_guard.h>
#include <stdio.h>
int main(void) {
  struct vorn_guard_stats stats;
  printf("%d\n", vorn_guard_get_stats(&stats));
  return vorn_guard_is_connected();
}
EOF
      # shellcheck disable=SC2046
      if cc -o "$work/client" "$work/client.c" \
          $(pkg-config --cflags --libs vorn-guard) 2>"$work/cc.log" &&
          [ "$("$work/client")" = "0" ]; then
        pass "a client builds and runs with pkg-config's flags"
      else
        cat "$work/cc.log"
        fail "building a client with pkg-config's flags"
      fi
    fi
  else
    skip "pkg-config not found"
  fi
  echo "--- dpkg -P"
  if dpkg -P "$package" >"$work/dpkg-P.log" 2>&1; then
    installed_by_us=0
    pass "dpkg -P"
  else
    cat "$work/dpkg-P.log"
    fail "dpkg -P"
  fi
  left=0
  for path in "${expected[@]}"; do
    if [ -e "$path" ]; then
      fail "$path left behind"
      left=1
    fi
  done
  if ! package_absent "$package"; then
    fail "$package still registered with dpkg"
  elif [ "$left" = 0 ]; then
    pass "removed cleanly"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all package checks passed"
