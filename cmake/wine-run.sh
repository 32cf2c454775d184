#!/bin/bash
# Runs the Windows build's programs under Wine, in a private prefix that
# belongs to the build folder (CMAKE_CROSSCOMPILING_EMULATOR of the windows
# preset, and the wine_prefix test fixture).
#
#   wine-run.sh --setup            create the prefix when needed and start a
#                                  persistent wineserver for the test run
#   wine-run.sh --cleanup          stop that wineserver (and everything that
#                                  still runs in the prefix)
#   wine-run.sh PROGRAM [ARGS...]  run PROGRAM; creates the prefix first when
#                                  it is missing, so a single test also works
#                                  without the fixture
#
# Where the prefix is, first match wins:
#   1. $VORN_WINEPREFIX;
#   2. <build folder>/wineprefix, the build folder being the nearest folder
#      at or above the current directory that holds a CMakeCache.txt (ctest
#      runs the tests in <build folder>/tests);
#   3. the same, found from the program's own folder (<build folder>/bin);
#   4. <source>/build/windows/wineprefix.
# A WINEPREFIX of the caller's environment is deliberately not used: the
# tests must never touch anybody's own prefix.
set -u

find_build_folder() {
  local dir="$1"
  while [ -n "$dir" ] && [ "$dir" != "/" ]; do
    if [ -f "$dir/CMakeCache.txt" ]; then
      printf '%s\n' "$dir"
      return 0
    fi
    dir="$(dirname "$dir")"
  done
  return 1
}

choose_prefix() {
  if [ -n "${VORN_WINEPREFIX:-}" ]; then
    printf '%s\n' "$VORN_WINEPREFIX"
    return
  fi
  local build
  if build="$(find_build_folder "$PWD")"; then
    printf '%s\n' "$build/wineprefix"
    return
  fi
  if [ -n "${1:-}" ] && [ -e "$1" ] &&
     build="$(find_build_folder "$(cd "$(dirname "$1")" && pwd)")"; then
    printf '%s\n' "$build/wineprefix"
    return
  fi
  printf '%s\n' "$(cd "$(dirname "$0")/.." && pwd)/build/windows/wineprefix"
}

case "${1:-}" in
  --setup | --cleanup) program="" ;;
  "") echo "usage: $0 --setup | --cleanup | PROGRAM [ARGS...]" >&2; exit 2 ;;
  *) program="$1" ;;
esac

WINEPREFIX="$(choose_prefix "$program")"
export WINEPREFIX
# Quiet, unless a test asks for a debug channel it reads (VORN_WINEDEBUG);
# the caller's own WINEDEBUG is not taken.
export WINEDEBUG="${VORN_WINEDEBUG:--all}"
# Wine wants a home folder; a CI job may run without HOME set.
if [ -z "${HOME:-}" ]; then
  HOME="$(dirname "$WINEPREFIX")"
  export HOME
fi
# A fresh prefix must never offer to install the .NET or HTML add-ons: there
# is no display and no network to do it with.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Marks a prefix whose wineboot ran to its end; a half-made one is redone.
ready_mark="$WINEPREFIX/.vorn-prefix-ready"

# Creates the prefix once, under a lock, so concurrent first uses do not
# both run wineboot.
ensure_prefix() {
  [ -f "$ready_mark" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")" || return 1
  (
    flock 9 || exit 1
    [ -f "$ready_mark" ] && exit 0
    # Whatever is left of an interrupted creation goes, with its server.
    wineserver -k >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1 || exit 1
    # The service manager misbehaves until the server of the creation has
    # gone; later starts get a fresh one.
    wineserver -w
    touch "$ready_mark"
  ) 9>"$WINEPREFIX.lock"
}

case "${1:-}" in
  --setup)
    ensure_prefix || { echo "wine-run.sh: cannot create $WINEPREFIX" >&2; exit 1; }
    # One server for the whole run: every program start is fast, and
    # services are not shut down between two tests.
    wineserver -p </dev/null >/dev/null 2>&1
    # Start Wine's own background processes (service manager, device
    # drivers) now, with no output to hold: started by the first test they
    # would inherit its output and keep ctest waiting for the end of it.
    wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1
    echo "wine prefix ready: $WINEPREFIX"
    exit 0
    ;;
  --cleanup)
    if [ -d "$WINEPREFIX" ]; then
      wineserver -k >/dev/null 2>&1
      # -k only signals; wait until the server has really gone.
      wineserver -w >/dev/null 2>&1
    fi
    echo "wineserver stopped: $WINEPREFIX"
    exit 0
    ;;
esac

ensure_prefix || { echo "wine-run.sh: cannot create $WINEPREFIX" >&2; exit 1; }
exec wine "$@"
