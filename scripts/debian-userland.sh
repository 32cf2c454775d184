# Debian userlands made with debootstrap from Debian's registry and kept
# between runs in VORN_USERLAND_DIR (default /var/cache/vorn-guard-build):
# the Debian 11 one that builds the shipped Linux packages, and bare ones that
# stand for players' machines. Sourced by scripts/release-linux.sh and the
# package tests. Needs root: debootstrap, chroot and mount namespaces.

vorn_userland_dir=${VORN_USERLAND_DIR:-/var/cache/vorn-guard-build}
vorn_debian_mirror=${VORN_DEBIAN_MIRROR:-http://deb.debian.org/debian}

# Prints the folder of the userland NAME: Debian SUITE, minimal, with the
# comma-separated PACKAGES. It is made first when missing or when it was made
# for another suite or other packages; a run that fails or is interrupted
# leaves no half-made userland behind (it is made beside, then renamed).
userland() {
  local name=$1 suite=$2 packages=$3
  local root=$vorn_userland_dir/$name
  mkdir -p "$vorn_userland_dir"
  # One maker at a time; a second run waits, then finds it made.
  (
    flock 9
    wanted="$suite $packages"
    [ "$(cat "$root/.vorn-userland" 2>/dev/null)" != "$wanted" ] || exit 0
    command -v debootstrap >/dev/null ||
      { echo "error: debootstrap is missing (scripts/install-deps.sh)" >&2; exit 1; }
    fresh=$root.new
    rm -rf "$fresh"
    echo "making the $suite userland $root (debootstrap from $vorn_debian_mirror)" >&2
    if ! debootstrap --variant=minbase ${packages:+--include="$packages"} \
        "$suite" "$fresh" "$vorn_debian_mirror" >"$fresh.log" 2>&1; then
      tail -20 "$fresh.log" >&2
      echo "error: debootstrap of $suite failed (whole log: $fresh.log)" >&2
      exit 1
    fi
    echo "$wanted" >"$fresh/.vorn-userland"
    rm -rf "$root" "$fresh.log"
    mv "$fresh" "$root"
  ) 9>"$root.lock" || return 1
  echo "$root"
}

# in_userland ROOT [--ro|--rw HOST_DIR GUEST_DIR]... -- COMMAND...
# Runs COMMAND as root inside the userland ROOT, in mount and pid namespaces
# of its own: a fresh /proc, the machine's /dev, empty /run and /tmp, and each
# HOST_DIR at GUEST_DIR (read-only or writable). Whatever it mounted, and any
# process it left running, goes when COMMAND ends.
in_userland() {
  local root=$1
  shift
  local binds=()
  while [ "$1" != "--" ]; do
    binds+=("$1" "$2" "$3")
    shift 3
  done
  shift
  unshare --mount --pid --fork --mount-proc="$root/proc" /bin/sh -ec '
    root=$1; count=$2; shift 2
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/run"
    mount -t tmpfs tmpfs "$root/tmp"
    while [ "$count" -gt 0 ]; do
      mkdir -p "$root$3"
      mount --bind "$2" "$root$3"
      [ "$1" = --rw ] || mount -o remount,bind,ro "$root$3"
      shift 3
      count=$((count - 1))
    done
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
  ' sh "$root" $((${#binds[@]} / 3)) "${binds[@]}" "$@"
}
