#!/usr/bin/env bash
# Builds the Windows ZIP from a built tree and checks it: its contents, and,
# when Wine is available, the install scripts in a throwaway Wine prefix:
# install.cmd registers and starts the real service, vorn-guard-probe passes
# a handshake against it, the example client built from the package holds a
# session, uninstall.cmd removes it again. Everything happens
# in a temporary folder, which is removed at the end with its wineserver.
#
#   zip_test.sh BUILD_DIR [CPACK]
#
# Exit codes: 0 passed, 1 failed, 77 cannot run here (no cpack or unzip).
#
# Wine's sc.exe answers every failure with 1 rather than the Windows error
# code, accepts "sc failure" without storing the actions, and has no "qc";
# those parts are left to a real Windows machine.
set -euo pipefail

build_dir=${1:?usage: zip_test.sh BUILD_DIR [CPACK]}
cpack=${2:-cpack}
service=VORNGuardLocalService

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
skip() { echo "SKIP: $*"; }

if ! command -v "$cpack" >/dev/null || ! command -v unzip >/dev/null; then
  skip "cpack or unzip is missing"
  exit 77
fi

# shellcheck source=throwaway_wine.sh
. "$(dirname "$0")/throwaway_wine.sh"

# ---------------------------------------------------------------- build
echo "--- cpack -G ZIP into $work"
if ! "$cpack" -G ZIP --config "$build_dir/CPackConfig.cmake" -B "$work" \
    >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack could not build the package"
  exit 1
fi
zip=$work/vorn-guard-1.0.0-win64.zip
if [ ! -f "$zip" ]; then
  ls "$work"
  echo "FAIL: vorn-guard-1.0.0-win64.zip was not made"
  exit 1
fi
pass "built $(basename "$zip")"

# ---------------------------------------------------------------- contents
unzip -Z1 "$zip" >"$work/contents"
expected=(
  bin/vorn-guard-service.exe
  bin/vorn-guard-probe.exe
  bin/vorn_guard.dll
  bin/install.cmd
  bin/uninstall.cmd
  bin/log-folders.cmd
  lib/libvorn_guard.dll.a
  lib/vorn_guard.lib
  lib/cmake/VornGuard/VornGuardConfig.cmake
  lib/cmake/VornGuard/VornGuardConfigVersion.cmake
  include/vorn_guard.h
  examples/minimal_client.c
  examples/CMakeLists.txt
  README.md
  docs/protocol.md
  docs/operations.md
)
for path in "${expected[@]}"; do
  if grep -qxF "$path" "$work/contents"; then
    pass "contains $path"
  else
    fail "missing $path"
  fi
done
# Test programs stay out; the docs may speak of fuzzing and soak runs.
if grep -Ev '(^|/)docs/' "$work/contents" |
    grep -Ei '(_tests?|test_|gtest|gmock|fuzz)'; then
  fail "the package holds test files (listed above)"
else
  pass "no test files"
fi
# No mingw runtime DLL may be needed beside the programs.
if grep -Ei '^bin/(libstdc|libgcc|libwinpthread)' "$work/contents"; then
  fail "runtime DLLs in the package"
fi
for script in install.cmd uninstall.cmd log-folders.cmd; do
  if unzip -p "$zip" "bin/$script" | head -1 | grep -q $'\r$'; then
    pass "$script has CRLF line ends"
  else
    fail "$script lacks CRLF line ends"
  fi
done

# ---------------------------------------------------------------- Wine
if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
  skip "wine not found: install.cmd and uninstall.cmd not run"
else
  echo "--- a throwaway Wine prefix"
  wine_started=1
  wineboot -i >/dev/null 2>&1 || true
  # Services start reliably only once that first wineserver is gone.
  wineserver -w
  wineserver -p
  install_dir="$WINEPREFIX/drive_c/Program Files/VORN"
  mkdir -p "$install_dir"
  unzip -q "$zip" -d "$install_dir"
  bin='C:\Program Files\VORN\bin'

  run_cmd() {  # SCRIPT: runs it with cmd, prints its output, returns its code
    local code=0
    wine cmd /c "$bin\\$1" >"$work/$1.out" 2>&1 || code=$?
    sed 's/\r$//; s/^/    /' "$work/$1.out"
    return "$code"
  }
  code=0
  run_cmd install.cmd || code=$?
  if [ "$code" = 0 ]; then pass "install.cmd exits 0"; else fail "install.cmd exits $code"; fi

  key="HKLM\\System\\CurrentControlSet\\Services\\$service"
  wine reg query "$key" 2>/dev/null | tr -d '\r' >"$work/registry"
  check_value() {  # NAME PATTERN
    if grep -E "^ +$1 +REG_[A-Z_]+ +$2\$" "$work/registry" >/dev/null; then
      pass "service $1 matches $2"
    else
      fail "service $1: $(grep -E "^ +$1 " "$work/registry" || echo missing)"
    fi
  }
  check_value ImagePath '"C:\\Program Files\\VORN\\bin\\vorn-guard-service\.exe"'
  check_value Start '0x2'
  check_value Type '0x10'
  check_value ObjectName 'LocalSystem'
  check_value DisplayName 'VORN Local Guard Service'
  check_value Description 'Checks the guard modules .*'
  events="HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$service"
  wine reg query "$events" 2>/dev/null | tr -d '\r' >"$work/registry"
  check_value EventMessageFile 'C:\\Program Files\\VORN\\bin\\vorn-guard-service\.exe'
  check_value TypesSupported '0x7'
  # icacls is a stub in Wine: the folders' owner and DACL are not shown.
  if [ -d "$WINEPREFIX/drive_c/ProgramData/VORN/ClientService" ]; then
    pass "install.cmd made the log folders"
  else
    fail "no C:\\ProgramData\\VORN\\ClientService"
  fi

  if wine sc query "$service" 2>/dev/null | grep -q RUNNING; then
    pass "the service is running"
  else
    fail "the service is not running"
  fi
  code=0
  wine "$bin\\vorn-guard-probe.exe" status >"$work/probe.out" 2>&1 || code=$?
  sed 's/\r$//; s/^/    /' "$work/probe.out"
  if [ "$code" = 0 ]; then pass "vorn-guard-probe status"; else fail "vorn-guard-probe status exits $code"; fi
  # Wine's service manager gives services ProgramData = C:\users\Public.
  log=$(find "$WINEPREFIX/drive_c" -path '*VORN/ClientService/service.log' | head -1)
  if [ -n "$log" ] && grep -q 'VORN Local Guard Service 1.0.0 ONLINE' "$log" &&
      grep -q 'SESSION READY pid=[0-9]* host=vorn-guard-probe.exe' "$log"; then
    pass "the log has the banner and the probe's session"
  else
    fail "log ${log:-not found}: $(cat "${log:-/dev/null}" 2>/dev/null)"
  fi

  # The example client, built from the unpacked package only, once with
  # each import library, run from beside vorn_guard.dll while the service
  # runs. Linking vorn_guard.lib (made for MSVC) shows that it names the DLL
  # and its functions rightly.
  if command -v x86_64-w64-mingw32-gcc >/dev/null; then
    for implib in libvorn_guard.dll.a vorn_guard.lib; do
      exe=minimal_client_${implib%%.*}.exe
      if ! x86_64-w64-mingw32-gcc -std=c99 -Wall -Wextra -Werror \
          -I"$install_dir/include" "$install_dir/examples/minimal_client.c" \
          "$install_dir/lib/$implib" -o "$install_dir/bin/$exe" \
          2>"$work/$exe.cc.log"; then
        cat "$work/$exe.cc.log"
        fail "the example does not build with $implib"
        continue
      fi
      code=0
      wine "$bin\\$exe" 3 >"$work/$exe.out" 2>&1 || code=$?
      sed 's/\r$//; s/^/    /' "$work/$exe.out"
      if [ "$code" = 0 ] && tr -d '\r' <"$work/$exe.out" | grep -q '\] connected$' &&
          grep -q "SESSION READY pid=[0-9]* host=$exe" "$log"; then
        pass "the example linked with $implib holds a session"
      else
        fail "the example linked with $implib exits $code"
      fi
    done
  else
    skip "x86_64-w64-mingw32-gcc not found: the example is not built"
  fi

  code=0
  run_cmd install.cmd || code=$?
  if [ "$code" = 3 ]; then pass "install.cmd again exits 3"; else fail "install.cmd again exits $code"; fi

  code=0
  run_cmd uninstall.cmd || code=$?
  if [ "$code" = 0 ]; then pass "uninstall.cmd exits 0"; else fail "uninstall.cmd exits $code"; fi
  if wine sc query "$service" >/dev/null 2>&1; then
    fail "the service is still registered"
  else
    pass "the service is gone"
  fi
  if wine reg query "$events" >/dev/null 2>&1; then
    fail "the event source is still registered"
  else
    pass "the event source is gone"
  fi
  code=0
  run_cmd uninstall.cmd || code=$?
  if [ "$code" = 0 ] && grep -q 'not installed' "$work/uninstall.cmd.out"; then
    pass "uninstall.cmd without a service exits 0"
  else
    fail "uninstall.cmd without a service exits $code"
  fi

  # Without the service exe beside it, install.cmd refuses at once.
  rm "$install_dir/bin/vorn-guard-service.exe"
  code=0
  run_cmd install.cmd || code=$?
  if [ "$code" = 1 ]; then pass "install.cmd without the exe exits 1"; else fail "install.cmd without the exe exits $code"; fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all package checks passed"
