#!/usr/bin/env bash
# Builds the Linux packages that ship to players' and operators' machines in
# a Debian 11 userland (GCC 10, glibc 2.31, OpenSSL 1.1), so that no binary in
# them names a glibc symbol version newer than 2.31 and none needs anything
# beyond glibc: they run on Debian 11, Ubuntu 20.04 and every later release.
# The userland is made once with debootstrap and kept, and so is the build
# folder inside it: a repeat build compiles only what changed.
#
#   sudo scripts/release-linux.sh [OUT_DIR]   (default: build/release-linux)
#
# The .deb files land in OUT_DIR. Exit codes: 0 built, 1 failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/debian-userland.sh

case "${1:-}" in
  -h | --help)
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
    ;;
esac
out=${1:-build/release-linux}
if [ "$(id -u)" != 0 ]; then
  echo "error: building in the Debian 11 userland needs root (debootstrap, chroot)" >&2
  exit 1
fi
root=$(userland debian11-build bullseye g++,make,cmake,libssl-dev,dpkg-dev,file)
mkdir -p "$out"
out=$(cd "$out" && pwd)
# One build at a time in the kept build folder.
exec 9>"$root.build-lock"
flock 9
rm -f "$out"/*.deb

# The build folder lives in the userland: its cache names the userland's
# compiler and libraries, never the machine's.
in_userland "$root" --ro "$PWD" /src --rw "$out" /out -- /bin/sh -ec '
  build=/var/tmp/vorn-release
  if ! cmake -S /src -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVORN_WERROR=ON -DVORN_BUILD_TESTS=OFF >/out/configure.log 2>&1; then
    cat /out/configure.log
    exit 1
  fi
  cmake --build "$build" -j"$(nproc)"
  cd "$build"
  cpack -G DEB >/out/cpack.log 2>&1 || { cat /out/cpack.log; exit 1; }
  cp ./*.deb /out/
'
echo "built in Debian 11 (glibc 2.31):"
ls -1 "$out"/*.deb
