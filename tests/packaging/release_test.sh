#!/usr/bin/env bash
# The Linux packages as they ship, built in Debian 11 by
# scripts/release-linux.sh: no binary in them needs a glibc symbol newer than
# 2.31 or anything beyond glibc, their dependencies ask for no more, and they
# install on a bare Debian 11 and a bare Debian 12 (minimal userlands kept
# between runs, each copied for the test), where the installed service holds
# a real session with the installed probe and its guard module.
#
#   release_test.sh SOURCE_DIR
#
# Exit codes: 0 passed, 1 failed, 77 cannot run here (not root, or no
# debootstrap, unshare or readelf).
set -uo pipefail

src=${1:?usage: release_test.sh SOURCE_DIR}
if [ "$(id -u)" != 0 ]; then
  echo "SKIP: needs root (debootstrap, chroot)"
  exit 77
fi
for tool in debootstrap unshare readelf dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
# shellcheck source=../../scripts/debian-userland.sh
source "$src/scripts/debian-userland.sh"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok:   $*"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! "$src/scripts/release-linux.sh" "$work/debs"; then
  echo "FAIL: scripts/release-linux.sh"
  exit 1
fi

# ---------------------------------------------------------------- binaries
elfs=()
for deb in "$work"/debs/*.deb; do
  dpkg-deb -x "$deb" "$work/files"
done
while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] && elfs+=("$file")
done < <(find "$work/files" -type f -print0)
if [ "${#elfs[@]}" -ge 3 ] &&
    cmake -DREADELF=readelf "-DFILES=$(IFS=';'; echo "${elfs[*]}")" \
      -DGLIBC_MAX=2.31 -P "$src/tests/unit/shipped_needs.cmake"; then
  pass "${#elfs[@]} binaries need glibc 2.31 at most and nothing else"
else
  fail "the shipped binaries (${#elfs[@]} found) need more than glibc 2.31"
fi
for deb in "$work"/debs/*.deb; do
  depends=$(dpkg-deb -f "$deb" Depends)
  # Only glibc up to 2.31, and the packages of this release among themselves.
  if echo "$depends" | tr ',' '\n' | sed 's/^ *//' | grep -vqE \
      '^(libc6 \(>= 2\.([0-9]|[12][0-9]|3[01])(\.[0-9]+)?\)|libvorn-guard[-a-z0-9]* \(= [0-9.]+\))$'; then
    fail "$(basename "$deb") depends on more: $depends"
  else
    pass "$(basename "$deb") depends on: $depends"
  fi
done

# ---------------------------------------------------------------- machines
for suite in bullseye bookworm; do
  if ! bare=$(userland "player-$suite" "$suite" ""); then
    fail "no $suite userland"
    continue
  fi
  machine=$work/$suite
  cp -a "$bare" "$machine"
  # The service in the background, as systemd would start it; its stop by
  # SIGTERM must end 0.
  if in_userland "$machine" --ro "$work/debs" /debs -- /bin/sh -ec '
      dpkg -i /debs/*.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; exit 1; }
      vorn-guard-service 2>/tmp/service.err &
      service=$!
      i=0
      until [ -S /run/VORN/VORNGuardLocalGuard ]; do
        i=$((i + 1))
        [ "$i" -lt 600 ] || { cat /tmp/service.err; exit 1; }
        sleep 0.05
      done
      vorn-guard-probe session --seconds 2 --interval-ms 250
      kill -TERM "$service"
      wait "$service"
      grep "SESSION READY pid=[0-9]* host=vorn-guard-probe" \
        /var/log/VORN/ClientService/service.log
    ' >"$work/$suite.log" 2>&1; then
    pass "$suite: installed, and the shipped module held a session"
  else
    sed 's/^/    /' "$work/$suite.log"
    fail "$suite: install or session"
  fi
  rm -rf "$machine"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all release checks passed"
