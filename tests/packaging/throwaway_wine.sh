# Sourced by the Windows package tests: a Wine prefix and a work folder of
# their own, both gone at exit with the prefix's wineserver. Sets `work`;
# a test sets wine_started=1 once it has started Wine.
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
