#!/usr/bin/env bash
# Builds the MSI of a built Windows tree, and that of the next patch release
# (a second, smaller build with VORN_VERSION raised, signed with a throwaway
# certificate), and runs them with Wine's msiexec in a throwaway prefix:
# install (the real service registered and running, the event source, the
# log folders, a probe handshake), upgrade in place (one service, the new
# files, the log kept), removal (all gone but the log). Everything happens
# in a temporary folder, removed at the end with its wineserver.
#
#   msi_test.sh BUILD_DIR VERSION [CMAKE]
#
# Exit codes: 0 passed, 1 failed, 77 cannot run here (no wixl, msitools,
# osslsigncode, openssl or Wine).
#
# What Wine cannot show, left to a real Windows machine: icacls is a stub
# (the folders' owner and DACL are not set, and Wine keeps no owners
# anyway), sc.exe accepts "sc failure" without storing the actions, Wine's
# services see ProgramData as C:\users\Public (so the service logs there,
# not below the folders the package made), and msiexec checks no signature.
set -euo pipefail

build_dir=${1:?usage: msi_test.sh BUILD_DIR VERSION [CMAKE]}
version=${2:?usage: msi_test.sh BUILD_DIR VERSION [CMAKE]}
cmake=${3:-cmake}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
service=VORNGuardLocalService
IFS=. read -r major minor patch <<<"$version"
newer=$major.$minor.$((patch + 1))

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
skip() { echo "SKIP: $*"; }

for tool in wixl msiinfo msibuild osslsigncode openssl wine wineserver; do
  if ! command -v "$tool" >/dev/null; then
    skip "$tool is missing"
    exit 77
  fi
done

work=$(mktemp -d)
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine_started=0
cleanup() {
  if [ "$wine_started" = 1 ]; then
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
started=$(date +%s)

# ---------------------------------------------------------------- build
echo "--- vorn-guard-$version-x64.msi from $build_dir"
msi=$work/vorn-guard-$version-x64.msi
if ! "$cmake" -DBUILD_DIR="$build_dir" -DSOURCE_DIR="$source_dir" \
    -DVERSION="$version" -DOUTPUT="$msi" -DWIXL=wixl -DMSIINFO=msiinfo \
    -DMSIBUILD=msibuild -P "$source_dir/cmake/msi.cmake" >"$work/msi.log" 2>&1; then
  cat "$work/msi.log"
  echo "FAIL: the MSI could not be built"
  exit 1
fi
if grep -qx 'signing skipped: .*' "$work/msi.log"; then
  pass "without a certificate signing is skipped, in one line"
else
  fail "no line saying that signing was skipped"
fi

echo "--- release $newer, signed with a throwaway certificate"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=VORN test signing" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature" \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" \
  -passout pass:throwaway -out "$work/sign.p12"
toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
if ! { "$cmake" -S "$source_dir" -B "$work/newer" -G Ninja \
         -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DVORN_BUILD_TESTS=OFF -DVORN_VERSION="$newer" &&
       VORN_SIGN_PKCS12=$work/sign.p12 VORN_SIGN_PASSWORD=throwaway \
         "$cmake" --build "$work/newer" --target vorn_msi; } >"$work/newer.log" 2>&1; then
  tail -40 "$work/newer.log"
  echo "FAIL: release $newer could not be built"
  exit 1
fi
newer_msi=$work/newer/vorn-guard-$newer-x64.msi
echo "    built in $(( $(date +%s) - started )) s"

# The chain ends in the throwaway certificate, which no system trusts: it is
# given as the trusted root, so what is checked is that each file carries a
# signature by that key over its current content; a changed byte breaks it.
newer_bin=$work/newer/vorn-guard-$newer-x64.d/stage/bin
for file in "$newer_msi" "$newer_bin"/vorn-guard-service.exe \
    "$newer_bin"/vorn-guard-probe.exe "$newer_bin"/vorn_guard.dll; do
  if osslsigncode verify -in "$file" -CAfile "$work/cert.pem" >"$work/verify.log" 2>&1; then
    pass "signed: $(basename "$file")"
  else
    cat "$work/verify.log"
    fail "no valid signature on $(basename "$file")"
  fi
done
cp "$newer_bin/vorn_guard.dll" "$work/changed.dll"
printf 'X' | dd of="$work/changed.dll" bs=1 seek=4096 conv=notrunc 2>/dev/null
if osslsigncode verify -in "$work/changed.dll" -CAfile "$work/cert.pem" >/dev/null 2>&1; then
  fail "the signature still verifies after a byte of the file changed"
else
  pass "a changed byte breaks the signature"
fi

# ---------------------------------------------------------------- Wine
echo "--- a throwaway Wine prefix"
wine_started=1
wineboot -i >/dev/null 2>&1 || true
# Services start reliably only once that first wineserver is gone.
wineserver -w
wineserver -p >/dev/null 2>&1
cp "$msi" "$newer_msi" "$WINEPREFIX/drive_c/"
install_dir="$WINEPREFIX/drive_c/Program Files/VORN/Guard"
bin='C:\Program Files\VORN\Guard\bin'
events="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$service"
# Something planted where the log folder goes, as any user could.
echo planted >"$WINEPREFIX/drive_c/ProgramData/VORN"

msiexec() {  # ARGS...: runs msiexec /qn with a log; returns its exit code
  local code=0
  wine msiexec "$@" /qn /l*v 'C:\msiexec.log' >/dev/null 2>&1 </dev/null || code=$?
  return "$code"
}
registry() {  # KEY: the values of KEY, one a line
  wine reg query "$1" 2>/dev/null | tr -d '\r'
}
check_value() {  # FILE NAME PATTERN
  if grep -E "^ +$2 +REG_[A-Z_]+ +$3\$" "$1" >/dev/null; then
    pass "$2 matches $3"
  else
    fail "$2: $(grep -E "^ +$2 " "$1" || echo missing)"
  fi
}
probe_status() {  # WHEN
  local code=0
  wine "$bin\\vorn-guard-probe.exe" status >"$work/probe.out" 2>&1 </dev/null || code=$?
  sed 's/\r$//; s/^/    /' "$work/probe.out"
  if [ "$code" = 0 ]; then pass "vorn-guard-probe status $1"; else fail "vorn-guard-probe status $1 exits $code"; fi
}
running() {
  wine sc query "$service" 2>/dev/null </dev/null | grep -q RUNNING
}
file_version() {  # FILE: the FileVersion string of its version resource
  strings -el "$1" | grep -A1 -x FileVersion | tail -1
}

echo "--- msiexec /i vorn-guard-$version-x64.msi"
code=0
msiexec /i "C:\\vorn-guard-$version-x64.msi" || code=$?
if [ "$code" = 0 ]; then pass "installed"; else fail "msiexec /i exits $code"; fi
for action in VornLogFolders VornServiceRecovery; do
  if grep -aq "Action ended .*: $action. Return value 1" "$WINEPREFIX/drive_c/msiexec.log"; then
    pass "custom action $action succeeded"
  else
    fail "custom action $action: $(grep -a "$action" "$WINEPREFIX/drive_c/msiexec.log" | tail -1)"
  fi
done
registry "HKLM\\System\\CurrentControlSet\\Services\\$service" >"$work/service"
check_value "$work/service" ImagePath '"?C:\\Program Files\\VORN\\Guard\\bin\\vorn-guard-service\.exe"?'
check_value "$work/service" Start 0x2
check_value "$work/service" Type 0x10
check_value "$work/service" ObjectName LocalSystem
check_value "$work/service" DisplayName 'VORN Local Guard Service'
registry "$events" >"$work/events"
check_value "$work/events" EventMessageFile 'C:\\Program Files\\VORN\\Guard\\bin\\vorn-guard-service\.exe'
grep -Eq 'EventMessageFile +REG_EXPAND_SZ' "$work/events" ||
  fail "EventMessageFile is not REG_EXPAND_SZ"
check_value "$work/events" TypesSupported 0x7
if [ -d "$WINEPREFIX/drive_c/ProgramData/VORN/ClientService" ]; then
  pass "the log folders replace what was planted"
else
  fail "no C:\\ProgramData\\VORN\\ClientService"
fi
for path in bin/vorn-guard-service.exe bin/vorn-guard-probe.exe bin/vorn_guard.dll \
    include/vorn_guard.h lib/vorn_guard.lib lib/libvorn_guard.dll.a \
    lib/cmake/VornGuard/VornGuardConfig.cmake docs/operations.md README.md; do
  [ -f "$install_dir/$path" ] || fail "not installed: $path"
done
if [ -e "$install_dir/bin/install.cmd" ]; then
  fail "the package holds install.cmd"
fi
if running; then pass "the service is running"; else fail "the service is not running"; fi
probe_status "after the install"
log=$(find "$WINEPREFIX/drive_c" -path '*VORN/ClientService/service.log' | head -1)
if [ -n "$log" ] && grep -q 'SESSION READY pid=[0-9]* host=vorn-guard-probe.exe' "$log"; then
  pass "the log has the probe's session"
else
  fail "log ${log:-not found}"
fi
cp "${log:-/dev/null}" "$work/log.before"

echo "--- msiexec /i vorn-guard-$newer-x64.msi"
code=0
msiexec /i "C:\\vorn-guard-$newer-x64.msi" || code=$?
if [ "$code" = 0 ]; then pass "upgraded"; else fail "msiexec /i (upgrade) exits $code"; fi
count=$(wine reg query 'HKLM\System\CurrentControlSet\Services' 2>/dev/null |
        grep -ci 'VORNGuard' || true)
if [ "$count" = 1 ]; then pass "one service registered"; else fail "$count services registered"; fi
if running; then pass "the service is running"; else fail "the service is not running"; fi
for file in vorn-guard-service.exe vorn-guard-probe.exe vorn_guard.dll; do
  got=$(file_version "$install_dir/bin/$file")
  if [ "$got" = "$newer.0" ] && cmp -s "$install_dir/bin/$file" "$newer_bin/$file"; then
    pass "$file is the signed $newer one"
  else
    fail "$file has version ${got:-none}"
  fi
done
uninstall_keys=$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
                 tr -d '\r' | grep -c 'DisplayName .*VORN Local Guard Service' || true)
if [ "$uninstall_keys" = 1 ]; then pass "one product installed"; else fail "$uninstall_keys products installed"; fi
registry "$events" >"$work/events"
check_value "$work/events" TypesSupported 0x7
probe_status "after the upgrade"
before=$(stat -c %s "$work/log.before")
if [ "$before" -gt 0 ] && [ "$(stat -c %s "$log")" -gt "$before" ] &&
    cmp -s "$work/log.before" <(head -c "$before" "$log"); then
  pass "the log kept its lines and grew"
else
  fail "the log lost lines in the upgrade"
fi

echo "--- msiexec /x vorn-guard-$newer-x64.msi"
code=0
msiexec /x "C:\\vorn-guard-$newer-x64.msi" || code=$?
if [ "$code" = 0 ]; then pass "removed"; else fail "msiexec /x exits $code"; fi
if wine sc query "$service" >/dev/null 2>&1 </dev/null; then
  fail "the service is still registered"
else
  pass "the service is gone"
fi
if wine reg query "$events" >/dev/null 2>&1 </dev/null; then
  fail "the event source is still registered"
else
  pass "the event source is gone"
fi
left=$(find "$WINEPREFIX/drive_c/Program Files/VORN" -type f 2>/dev/null | wc -l)
if [ "$left" = 0 ]; then pass "the files are gone"; else fail "$left files left"; fi
if [ -s "$log" ] && [ -d "$WINEPREFIX/drive_c/ProgramData/VORN/ClientService" ]; then
  pass "the log and its folders stay"
else
  fail "the log or its folders went"
fi

echo "--- $(( $(date +%s) - started )) s"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all MSI checks passed"
