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
# not below the folders the package made), msiexec checks no signature and
# writes the service's path unquoted.
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
check() {  # WHAT COMMAND...: passes when COMMAND succeeds
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

for tool in wixl msiinfo msibuild osslsigncode openssl wine wineserver; do
  if ! command -v "$tool" >/dev/null; then
    skip "$tool is missing"
    exit 77
  fi
done

# shellcheck source=throwaway_wine.sh
. "$(dirname "$0")/throwaway_wine.sh"
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
check "without a certificate signing is skipped, in one line" \
  test "$(grep -c '^signing skipped: ' "$work/msi.log")" = 1

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
verify() { osslsigncode verify -in "$1" -CAfile "$work/cert.pem" >/dev/null 2>&1; }
refused() { ! verify "$1"; }
for file in "$newer_msi" "$newer_bin"/vorn-guard-service.exe \
    "$newer_bin"/vorn-guard-probe.exe "$newer_bin"/vorn_guard.dll; do
  check "signed: $(basename "$file")" verify "$file"
done
cp "$newer_bin/vorn_guard.dll" "$work/changed.dll"
printf 'X' | dd of="$work/changed.dll" bs=1 seek=4096 conv=notrunc 2>/dev/null
check "a changed byte breaks the signature" refused "$work/changed.dll"

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

msiexec() {  # ARGS...: msiexec /qn with a log; prints its code when not 0
  local code=0
  wine msiexec "$@" /qn /l*v 'C:\msiexec.log' >/dev/null 2>&1 </dev/null || code=$?
  [ "$code" = 0 ] || echo "    msiexec $1 exits $code"
  return "$code"
}
check_value() {  # KEY NAME PATTERN
  local line
  line=$(wine reg query "$1" /v "$2" 2>/dev/null </dev/null | tr -d '\r' | grep -E "^ +$2 ")
  check "$2 is $(sed -E 's/^ +[^ ]+ +//' <<<"$line")" grep -Eq "^ +$2 +$3\$" <<<"$line"
}
probe_status() {
  wine "$bin\\vorn-guard-probe.exe" status >"$work/probe.out" 2>&1 </dev/null
}
# No grep -q after a pipe: with pipefail, the writer's SIGPIPE would fail it.
running() { wine sc query "$service" 2>/dev/null </dev/null | grep RUNNING >/dev/null; }
absent() { ! wine "$@" >/dev/null 2>&1 </dev/null; }
action_ran() {  # ACTION: ended with success in the last msiexec log
  grep -aq "Action ended .*: $1. Return value 1" "$WINEPREFIX/drive_c/msiexec.log"
}
count() {  # PATTERN KEY [/s]: lines of reg query KEY matching PATTERN
  wine reg query "${@:2}" 2>/dev/null </dev/null | tr -d '\r' | grep -ci "$1" || true
}
newer_files() {  # the installed programs are the signed ones of release $newer
  local file
  for file in vorn-guard-service.exe vorn-guard-probe.exe vorn_guard.dll; do
    cmp -s "$install_dir/bin/$file" "$newer_bin/$file" &&
      strings -el "$install_dir/bin/$file" | grep -A1 -x FileVersion | grep -x "$newer.0" >/dev/null ||
      return 1
  done
}
log_kept() {  # the log begins with every byte it had before, and grew
  local before
  before=$(stat -c %s "$work/log.before")
  [ "$before" -gt 0 ] && [ "$(stat -c %s "$log")" -gt "$before" ] &&
    cmp -s "$work/log.before" <(head -c "$before" "$log")
}
service_key="HKLM\\System\\CurrentControlSet\\Services\\$service"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

echo "--- msiexec /i vorn-guard-$version-x64.msi"
check "installed" msiexec /i "C:\\vorn-guard-$version-x64.msi"
check "the log folders' custom action succeeded" action_ran VornLogFolders
check "the failure actions' custom action succeeded" action_ran VornServiceRecovery
# Wine's msi writes the path as REG_SZ and without the quotes that keep a
# path with blanks from being taken for C:\Program.exe; whether Windows
# Installer quotes it is for "sc qc" on Windows to show.
check_value "$service_key" ImagePath 'REG_(EXPAND_)?SZ +"?C:\\Program Files\\VORN\\Guard\\bin\\vorn-guard-service\.exe"?'
check_value "$service_key" Start 'REG_DWORD +0x2'
check_value "$service_key" Type 'REG_DWORD +0x10'
check_value "$service_key" ObjectName 'REG_SZ +LocalSystem'
check_value "$service_key" DisplayName 'REG_SZ +VORN Local Guard Service'
check_value "$events" EventMessageFile 'REG_EXPAND_SZ +C:\\Program Files\\VORN\\Guard\\bin\\vorn-guard-service\.exe'
check_value "$events" TypesSupported 'REG_DWORD +0x7'
check "the log folders replace what was planted" \
  test -d "$WINEPREFIX/drive_c/ProgramData/VORN/ClientService"
for path in bin/vorn-guard-service.exe bin/vorn-guard-probe.exe bin/vorn_guard.dll \
    include/vorn_guard.h lib/vorn_guard.lib lib/libvorn_guard.dll.a \
    lib/cmake/VornGuard/VornGuardConfig.cmake docs/operations.md README.md; do
  [ -f "$install_dir/$path" ] || fail "not installed: $path"
done
check "install.cmd is not installed" test ! -e "$install_dir/bin/install.cmd"
check "the service is running" running
check "vorn-guard-probe status passes" probe_status
sed 's/\r$//; s/^/    /' "$work/probe.out"
log=$(find "$WINEPREFIX/drive_c" -path '*VORN/ClientService/service.log' | head -1)
check "the log has the probe's session" \
  grep -q 'SESSION READY pid=[0-9]* host=vorn-guard-probe.exe' "${log:-/dev/null}"
cp "${log:-/dev/null}" "$work/log.before"

echo "--- msiexec /i vorn-guard-$newer-x64.msi"
check "upgraded" msiexec /i "C:\\vorn-guard-$newer-x64.msi"
check "one service registered" test "$(count VORNGuard 'HKLM\System\CurrentControlSet\Services')" = 1
check "one product installed" \
  test "$(count 'DisplayName .*VORN Local Guard Service' "$uninstall_key" /s)" = 1
check "the service is running" running
check "the programs are the signed $newer ones" newer_files
check_value "$events" TypesSupported 'REG_DWORD +0x7'
check "vorn-guard-probe status passes" probe_status
check "the log kept its lines and grew" log_kept

echo "--- msiexec /x vorn-guard-$newer-x64.msi"
check "removed" msiexec /x "C:\\vorn-guard-$newer-x64.msi"
check "the service is gone" absent sc query "$service"
check "the event source is gone" absent reg query "$events"
check "the files are gone" \
  test -z "$(find "$WINEPREFIX/drive_c/Program Files/VORN" -type f 2>/dev/null)"
check "the log and its folders stay" test -s "$log"

echo "--- $(( $(date +%s) - started )) s"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all MSI checks passed"
