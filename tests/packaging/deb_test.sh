#!/usr/bin/env bash
# Builds the .deb from a built tree and checks it: its contents and control
# fields, lintian, the binaries' hardening, the systemd unit (systemd-analyze
# verify, when available), and, as root with a usable dpkg, a real install,
# use and purge, with the installed unit's sandbox run by a real systemd: the
# machine's own, or one booted with systemd-nspawn over the machine's /usr.
# The machine is left as it was: everything else happens in a temporary
# folder, and the package is purged again on every path once installed.
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
  /usr/share/doc/vorn-guard/copyright
  /usr/share/doc/vorn-guard/changelog.gz
  /usr/share/man/man8/vorn-guard-service.8.gz
  /usr/share/man/man1/vorn-guard-probe.1.gz
  /etc/logrotate.d/vorn-guard
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

# Maintainer scripts: present and executable (lintian reads what they do).
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  if [ -x "$work/control/$script" ]; then
    pass "$script is there"
  else
    fail "$script missing or not executable"
  fi
done
if grep -qx /etc/logrotate.d/vorn-guard "$work/control/conffiles" 2>/dev/null; then
  pass "the logrotate snippet is a conffile"
else
  fail "/etc/logrotate.d/vorn-guard is no conffile"
fi

# Debian's own checks: no error and no warning (overrides carry reasons).
if command -v lintian >/dev/null; then
  if lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1; then
    pass "lintian: no errors or warnings"
  else
    cat "$work/lintian.log"
    fail "lintian"
  fi
else
  skip "lintian not found"
fi

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
# dpkg-buildflags' hardening, when the build took it (VORN_DEB_BUILDFLAGS).
# Control-flow protection is no part of Debian 12's flags. Fortify leaves a
# trace (__*_chk) only where a buffer's size is known at compile time, which
# need not happen in a program, so the compile commands show it instead.
if ! grep -qx 'VORN_DEB_BUILDFLAGS:BOOL=ON' "$build_dir/CMakeCache.txt"; then
  skip "built without dpkg-buildflags: hardening not checked"
elif ! command -v hardening-check >/dev/null; then
  skip "hardening-check not found"
elif hardening-check --nocfprotection --nofortify \
    "$work/root/usr/bin/vorn-guard-service" "$work/root/usr/bin/vorn-guard-probe" \
    "$work/root$libdir/libvorn_guard.so" >"$work/hardening.log" 2>&1 &&
    ! grep '"command"' "$build_dir/compile_commands.json" |
      grep -qv -- '-D_FORTIFY_SOURCE='; then
  pass "hardening: PIE, stack protector, RELRO, BIND_NOW; fortify compiled in"
else
  cat "$work/hardening.log"
  fail "hardening-check, or a compile command without _FORTIFY_SOURCE"
fi
for option in 'Documentation=man:vorn-guard-service(8)' \
    LogsDirectory=VORN/ClientService LogsDirectoryMode=0755 \
    PrivateNetwork=yes IPAddressDeny=any PrivateMounts=yes ProcSubset=pid \
    'SystemCallFilter=~@privileged @resources' DevicePolicy=closed; do
  if grep -qxF "$option" "$unit"; then
    pass "unit: $option"
  else
    fail "unit lacks $option"
  fi
done
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
  # Its Documentation= names the manual page, which is found unpacked.
  if MANPATH=$work/root/usr/share/man \
      systemd-analyze verify "$work/verify/vorn-guard-service.service" \
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
  else
    local dependency path
    for dependency in $(echo "$depends" | tr ',' '\n' | awk '{print $1}'); do
      if ! dpkg-query -W -f='${Status}' "$dependency" 2>/dev/null |
          grep -q 'ok installed'; then
        echo "dependency $dependency is not installed"
        return
      fi
    done
    # The log tree too: purge removes it.
    for path in "${expected[@]}" /var/log/VORN; do
      if [ -e "$path" ]; then
        echo "$path exists already"
        return
      fi
    done
  fi
}
# The installed unit under a real systemd, with every option of its sandbox:
# the machine's own when it runs one (postinst has started the service),
# else one booted by systemd-nspawn as PID 1 of a container that sees the
# machine's /usr read-only under a fresh root. It holds a session, makes the
# service terminate a client that breaks the rules (SIGKILL through a
# pidfd), and writes what it saw to $out. bpf() is let into the container,
# so that its systemd applies IPAddressDeny and DevicePolicy too.
sandbox_check() {
  local out=$work/sandbox
  mkdir -p "$out"
  cat >"$work/sandbox.sh" <<'SCRIPT'
#!/bin/sh
out=$1
unit=vorn-guard-service.service
systemctl start $unit
pid=$(systemctl show -P MainPID $unit)
vorn-guard-probe session --seconds 2 --interval-ms 500 >"$out/session" 2>&1
echo "session=$?" >"$out/result"
vorn-guard-probe raw --load-guard --hold-ms 3000 \
  'HELLO|{pid}|sandbox-check-01|{e1}|{e2}' 'NOT-A-HEARTBEAT' >/dev/null 2>&1
echo "enforced=$?" >>"$out/result"
# What the kernel shows of the sandbox.
grep -E '^(Seccomp|NoNewPrivs):' "/proc/$pid/status" >>"$out/result"
grep -o ' /proc .*subset=pid' "/proc/$pid/mountinfo" >>"$out/result"
[ "$(readlink "/proc/$pid/ns/net")" != "$(readlink /proc/1/ns/net)" ] &&
  echo own-network >>"$out/result"
cp /var/log/VORN/ClientService/service.log "$out/service.log"
systemctl stop $unit
journalctl -b -u $unit --no-pager >"$out/journal" 2>&1
exit 0
SCRIPT
  chmod +x "$work/sandbox.sh"
  if [ -d /run/systemd/system ]; then
    echo "--- the installed unit under this machine's systemd"
    "$work/sandbox.sh" "$out"
  elif command -v systemd-nspawn >/dev/null; then
    echo "--- the installed unit under systemd in a systemd-nspawn container"
    printf '%s\n' '[Service]' Type=oneshot 'ExecStart=/sandbox.sh /out' \
      'ExecStopPost=/bin/systemctl --no-block poweroff' \
      >"$work/sandbox-check.service"
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 timeout 120 systemd-nspawn --quiet \
      --register=no --keep-unit --machine="vorn-deb-test-$$" \
      --directory=/ --volatile=yes --console=pipe \
      --system-call-filter=bpf --capability=CAP_BPF,CAP_NET_ADMIN \
      --bind-ro="$work/sandbox.sh:/sandbox.sh" \
      --bind-ro="$work/sandbox-check.service:/etc/systemd/system/sandbox-check.service" \
      --bind="$out:/out" --boot systemd.firstboot=off \
      systemd.unit=sandbox-check.service </dev/null >"$work/nspawn.log" 2>&1 ||
      cat "$work/nspawn.log"
  else
    skip "no systemd and no systemd-nspawn: the unit's sandbox was not" \
      "exercised, only the plain run below"
    return
  fi
  local result
  result=$(cat "$out/result" 2>/dev/null || true)
  # 137: the probe that broke the rules was killed.
  if grep -qx session=0 <<<"$result" && grep -qx enforced=137 <<<"$result" &&
      grep -q 'ENFORCEMENT pid=[0-9]* reason=LOCAL_PROTOCOL_INVALID' \
        "$out/service.log" 2>/dev/null; then
    pass "the sandboxed service holds a session and terminates a client"
  else
    cat "$out/session" "$out/journal" "$out/service.log" 2>/dev/null
    fail "sandboxed service: $(tr '\n' ' ' <<<"$result")"
  fi
  if grep -q 'Seccomp:.2' <<<"$result" && grep -q subset=pid <<<"$result" &&
      grep -qx own-network <<<"$result"; then
    pass "sandbox in force: seccomp filter, /proc subset=pid, own network"
  else
    fail "sandbox not in force: $(tr '\n' ' ' <<<"$result")"
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
  # Made by postinst, before the service ever logs.
  tree=$(stat -c '%n %U:%G %a' /var/log/VORN /var/log/VORN/ClientService 2>&1)
  if [ "$tree" = "/var/log/VORN root:root 755
/var/log/VORN/ClientService root:root 755" ]; then
    pass "log folders root:root 0755"
  else
    fail "log folders: $tree"
  fi
  if ! command -v logrotate >/dev/null; then
    skip "logrotate not found"
  elif logrotate --debug /etc/logrotate.d/vorn-guard >"$work/logrotate.log" 2>&1; then
    pass "logrotate reads /etc/logrotate.d/vorn-guard"
  else
    cat "$work/logrotate.log"
    fail "logrotate --debug /etc/logrotate.d/vorn-guard"
  fi
  # Enabled on install; an administrator's disable survives an upgrade (the
  # same version installed again runs postinst as one). Not tried under a
  # running systemd, whose service the test uses below.
  wants=/etc/systemd/system/multi-user.target.wants/vorn-guard-service.service
  if [ -L "$wants" ]; then
    pass "unit enabled"
  else
    fail "unit not enabled ($wants missing)"
  fi
  if [ ! -d /run/systemd/system ]; then
    systemctl disable vorn-guard-service >/dev/null 2>&1 || true
    dpkg -i "$deb" >"$work/dpkg-upgrade.log" 2>&1 || cat "$work/dpkg-upgrade.log"
    if [ ! -e "$wants" ]; then
      pass "a disabled unit stays disabled after an upgrade"
    else
      fail "an upgrade enabled the disabled unit again"
    fi
    systemctl enable vorn-guard-service >/dev/null 2>&1 || true
  fi
  sandbox_check
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
  # Purge takes the logs and the unit's enable state with it.
  for path in /var/log/VORN "$wants" \
      /var/lib/systemd/deb-systemd-helper-enabled/vorn-guard-service.service.dsh-also; do
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
