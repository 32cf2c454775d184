#!/usr/bin/env bash
# Builds the three .debs from a built tree (libvorn-guard1, the guard module;
# libvorn-guard-dev, its development files; vorn-guard, the service) and
# checks them: their contents and control fields, lintian, the binaries'
# hardening, the systemd unit (systemd-analyze verify, when available), and,
# as root with a usable dpkg, a real install in dependency order, upgrade,
# use and purge, with the installed unit's sandbox run by a real systemd: the
# machine's own, or one booted with systemd-nspawn over the machine's /usr.
# The machine is left as it was: everything else happens in a temporary
# folder, and the packages are purged again on every path once installed.
#
#   deb_test.sh BUILD_DIR [CPACK]
#
# Exit codes: 0 passed, 1 failed, 77 cannot run here (no cpack or dpkg-deb).
set -euo pipefail

build_dir=${1:?usage: deb_test.sh BUILD_DIR [CPACK]}
cpack=${2:-cpack}
# The library first: the others depend on it.
packages=(libvorn-guard1 libvorn-guard-dev vorn-guard)
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
    dpkg -P "${packages[@]}" >/dev/null 2>&1 || true
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
declare -A deb
for package in "${packages[@]}"; do
  deb[$package]=$work/${package}_1.0.0_$(dpkg --print-architecture).deb
done
debs=("${deb[@]}")
if ! ls "${debs[@]}"; then
  echo "FAIL: cpack did not build the three packages"
  exit 1
fi

# ---------------------------------------------------------------- contents
# The path of every entry, after its package's name; a link's line ends in
# "-> target".
for package in "${packages[@]}"; do
  dpkg-deb -c "${deb[$package]}" | sed 's/ -> .*//' | awk '{print $NF}' |
    sed "s|^\./|$package /|"
done >"$work/contents"
# Each file in its package, and in no other.
expected=(
  "libvorn-guard1 $libdir/libvorn_guard.so.1"
  "libvorn-guard1 /usr/share/doc/libvorn-guard1/copyright"
  "libvorn-guard1 /usr/share/doc/libvorn-guard1/changelog.gz"
  "libvorn-guard-dev $libdir/libvorn_guard.so"
  "libvorn-guard-dev /usr/include/vorn_guard.h"
  "libvorn-guard-dev $libdir/pkgconfig/vorn-guard.pc"
  "libvorn-guard-dev $libdir/cmake/VornGuard/VornGuardConfig.cmake"
  "libvorn-guard-dev $libdir/cmake/VornGuard/VornGuardConfigVersion.cmake"
  "libvorn-guard-dev /usr/bin/vorn-guard-sign"
  "libvorn-guard-dev /usr/share/man/man1/vorn-guard-sign.1.gz"
  "libvorn-guard-dev /usr/share/doc/libvorn-guard-dev/examples/minimal_client.c"
  "libvorn-guard-dev /usr/share/doc/libvorn-guard-dev/examples/CMakeLists.txt"
  "libvorn-guard-dev /usr/share/doc/libvorn-guard-dev/copyright"
  "libvorn-guard-dev /usr/share/doc/libvorn-guard-dev/changelog.gz"
  "vorn-guard /usr/bin/vorn-guard-service"
  "vorn-guard /usr/bin/vorn-guard-probe"
  "vorn-guard /usr/lib/systemd/system/vorn-guard-service.service"
  "vorn-guard /usr/share/doc/vorn-guard/README.md"
  "vorn-guard /usr/share/doc/vorn-guard/docs/protocol.md"
  "vorn-guard /usr/share/doc/vorn-guard/docs/operations.md"
  "vorn-guard /usr/share/doc/vorn-guard/copyright"
  "vorn-guard /usr/share/doc/vorn-guard/changelog.gz"
  "vorn-guard /usr/share/man/man8/vorn-guard-service.8.gz"
  "vorn-guard /usr/share/man/man1/vorn-guard-probe.1.gz"
  "vorn-guard /etc/logrotate.d/vorn-guard"
)
for row in "${expected[@]}"; do
  owners=$(awk -v path="${row#* }" '$2 == path {print $1}' "$work/contents")
  if [ "$owners" = "${row%% *}" ]; then
    pass "$row"
  else
    fail "${row#* } is in '${owners//$'\n'/ }', not in ${row%% *} alone"
  fi
done
# Test programs and test frameworks stay out of the packages (the docs may
# speak of fuzzing and soak runs).
if grep -v '/share/doc/' "$work/contents" |
    grep -Ei '(_tests?|test_|gtest|gmock|fuzz)'; then
  fail "a package holds test files (listed above)"
else
  pass "no test files"
fi

field() { dpkg-deb -f "${deb[$1]}" "$2"; }
# True when dpkg knows nothing of the package, or only that it was purged.
package_absent() {
  local status
  status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)
  case "$status" in
    "" | *not-installed) return 0 ;;
    *) return 1 ;;
  esac
}
# Each package's section and its Depends, a pattern: the library of the
# same release, and glibc alone (every binary carries its libcrypto and
# C++ runtime), found by dpkg-shlibdeps or stated by hand.
controls=(
  "libvorn-guard1|libs|libc6 \(>= [0-9.]+\)"
  "libvorn-guard-dev|libdevel|libvorn-guard1 \(= 1\.0\.0\), libc6 \(>= [0-9.]+\)"
  "vorn-guard|admin|libvorn-guard1 \(= 1\.0\.0\), libc6 \(>= [0-9.]+\)"
)
for row in "${controls[@]}"; do
  IFS='|' read -r package section depends <<<"$row"
  control=$(dpkg-deb -f "${deb[$package]}" Package Version Maintainer \
    Section Depends | tr '\n' '|')
  pattern="^Package: $package\|Version: 1\.0\.0\|"
  pattern+="Maintainer: VORN maintainers <maintainers@vorn\.invalid>\|"
  pattern+="Section: $section\|Depends: $depends\|$"
  if [[ $control =~ $pattern ]]; then
    pass "$package: version, maintainer, section $section, Depends"
  else
    fail "$package: $control"
  fi
done

# The service's maintainer scripts: present and executable (lintian reads
# what they do).
mkdir "$work/control"
for package in "${packages[@]}"; do
  dpkg-deb -e "${deb[$package]}" "$work/control/$package"
done
for script in postinst prerm postrm; do
  if [ -x "$work/control/vorn-guard/$script" ]; then
    pass "$script is there"
  else
    fail "$script missing or not executable"
  fi
done
if grep -qx /etc/logrotate.d/vorn-guard "$work/control/vorn-guard/conffiles" 2>/dev/null; then
  pass "the logrotate snippet is a conffile"
else
  fail "/etc/logrotate.d/vorn-guard is no conffile"
fi

# Debian's own checks: no error and no warning (overrides carry reasons).
if command -v lintian >/dev/null; then
  if lintian --fail-on error,warning "${debs[@]}" >"$work/lintian.log" 2>&1; then
    pass "lintian: no errors or warnings"
  else
    cat "$work/lintian.log"
    fail "lintian"
  fi
else
  skip "lintian not found"
fi

# The loader's cache is refreshed by libc-bin's ldconfig trigger.
if grep -qx 'activate-noawait ldconfig' "$work/control/libvorn-guard1/triggers" 2>/dev/null; then
  pass "triggers ldconfig"
else
  fail "no ldconfig trigger"
fi

for package in "${packages[@]}"; do
  dpkg-deb -x "${deb[$package]}" "$work/root"
done
# The file under its SONAME, the development link to it.
if [ -f "$work/root$libdir/libvorn_guard.so.1" ] &&
    [ ! -L "$work/root$libdir/libvorn_guard.so.1" ] &&
    [ "$(readlink "$work/root$libdir/libvorn_guard.so")" = libvorn_guard.so.1 ]; then
  pass "libvorn_guard.so -> libvorn_guard.so.1, the file"
else
  fail "the module's files: $(ls -l "$work/root$libdir"/libvorn_guard.so* 2>&1)"
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
    "$work/root$libdir/libvorn_guard.so.1" >"$work/hardening.log" 2>&1 &&
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
# Why the packages cannot be installed here; empty when they can.
install_skip_reason() {
  if [ "$(id -u)" != 0 ]; then
    echo "not running as root"
    return
  elif ! command -v dpkg >/dev/null || ! dpkg-query -W dpkg >/dev/null 2>&1; then
    echo "no usable dpkg"
    return
  fi
  local package dependency path
  for package in "${packages[@]}"; do
    if ! package_absent "$package"; then
      echo "$package is already on this machine; left alone"
      return
    fi
  done
  # What they need besides each other.
  for dependency in $(for package in "${packages[@]}"; do
      field "$package" Depends | tr ',' '\n' | awk '{print $1}'
    done | sort -u | grep -vxF "$(printf '%s\n' "${packages[@]}")"); do
    if ! dpkg-query -W -f='${Status}' "$dependency" 2>/dev/null |
        grep -q 'ok installed'; then
      echo "dependency $dependency is not installed"
      return
    fi
  done
  # The log tree too: purge removes it.
  for path in $(printf '%s\n' "${expected[@]}" | cut -d' ' -f2) /var/log/VORN; do
    if [ -e "$path" ]; then
      echo "$path exists already"
      return
    fi
  done
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
  # The library alone first, as on a player's machine, then the packages
  # that depend on it.
  installed_by_us=1
  for step in "${deb[libvorn-guard1]}" \
      "${deb[libvorn-guard-dev]} ${deb[vorn-guard]}"; do
    echo "--- dpkg -i $step"
    # shellcheck disable=SC2086
    if dpkg -i $step >"$work/dpkg-i.log" 2>&1; then
      pass "dpkg -i ${step//$work\//}"
    else
      cat "$work/dpkg-i.log"
      fail "dpkg -i $step"
    fi
  done
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
  # Enabled on install; an administrator's disable survives an upgrade of
  # all three (the same version installed again runs the maintainer scripts
  # as one). The disable is not tried under a running systemd, whose service
  # the test uses below.
  wants=/etc/systemd/system/multi-user.target.wants/vorn-guard-service.service
  if [ -L "$wants" ]; then
    pass "unit enabled"
  else
    fail "unit not enabled ($wants missing)"
  fi
  if [ ! -d /run/systemd/system ]; then
    systemctl disable vorn-guard-service >/dev/null 2>&1 || true
  fi
  if dpkg -i "${debs[@]}" >"$work/dpkg-upgrade.log" 2>&1; then
    pass "upgrade of the three"
  else
    cat "$work/dpkg-upgrade.log"
    fail "upgrade of the three"
  fi
  if [ ! -d /run/systemd/system ]; then
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
  # the temporary folder: the probe loads $libdir/libvorn_guard.so.1, and the
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
      grep -qxF "# module=$libdir/libvorn_guard.so.1" "$work/evidence.out"; then
    pass "vorn-guard-probe evidence finds $libdir/libvorn_guard.so.1"
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
  # The development files first: what was built with them needs the
  # library alone.
  for step in libvorn-guard-dev "vorn-guard libvorn-guard1"; do
    echo "--- dpkg -P $step"
    # shellcheck disable=SC2086
    if dpkg -P $step >"$work/dpkg-P.log" 2>&1; then
      pass "dpkg -P $step"
    else
      cat "$work/dpkg-P.log"
      fail "dpkg -P $step"
    fi
    if [ "$step" = libvorn-guard-dev ] && [ -x "$work/client" ]; then
      if [ "$("$work/client")" = "0" ]; then
        pass "the client runs with libvorn-guard1 alone"
      else
        fail "the client does not run without libvorn-guard-dev"
      fi
    fi
  done
  installed_by_us=0
  left=0
  for row in "${expected[@]}"; do
    if [ -e "${row#* }" ]; then
      fail "${row#* } left behind"
      left=1
    fi
  done
  if ldconfig -p | grep -q 'libvorn_guard\.so'; then
    fail "the loader's cache still has libvorn_guard.so.1"
    left=1
  fi
  # Purge takes the logs and the unit's enable state with it.
  for path in /var/log/VORN "$wants" \
      /var/lib/systemd/deb-systemd-helper-enabled/vorn-guard-service.service.dsh-also; do
    if [ -e "$path" ]; then
      fail "$path left behind"
      left=1
    fi
  done
  for package in "${packages[@]}"; do
    if ! package_absent "$package"; then
      fail "$package still registered with dpkg"
      left=1
    fi
  done
  if [ "$left" = 0 ]; then
    pass "removed cleanly"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all package checks passed"
