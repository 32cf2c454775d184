#!/usr/bin/env bash
# Installs what building and testing need on Debian or Ubuntu, and nothing
# when everything is there already. Safe to run again.
#   scripts/install-deps.sh           everything (tests, Wine, sanitizers)
#   scripts/install-deps.sh --product only what building the Linux product takes
set -euo pipefail

# The Linux product (service, guard module, probe), which run.sh builds.
product_packages=(cmake ninja-build g++ pkg-config libssl-dev)

packages=(
  cmake ninja-build g++ pkg-config
  g++-mingw-w64-x86-64-posix    # the Windows cross compiler (posix threads)
  wine wine64                   # runs the Windows binaries and their tests
  wixl msitools                 # builds the MSI (wixl; msiinfo, msibuild)
  osslsigncode openssl          # signs the Windows files; test certificates
  googletest libgtest-dev       # sources for the Windows build, library for Linux
  libbenchmark-dev libssl-dev
  clang libclang-rt-14-dev      # libFuzzer and sanitizer runtimes
)
# The .deb's checks: lintian, hardening-check (devscripts), logrotate for
# the package's snippet, and systemd-nspawn (systemd-container), which boots
# a systemd to run the installed unit's sandbox where systemd is not PID 1.
# Their recommends (keyrings, upload tools) are no use here.
# fuse3, squashfuse and squashfs-tools stage a game run from a FUSE mount.
# debootstrap makes the Debian 11 userland that builds the shipped packages
# (scripts/release-linux.sh) and the bare ones they are installed on.
lean_packages=(lintian devscripts logrotate systemd-container
  fuse3 squashfuse squashfs-tools debootstrap)

if [ "${1:-}" = "--product" ]; then
  packages=("${product_packages[@]}")
  lean_packages=()
fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
missing=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
missing_lean=()
for package in "${lean_packages[@]}"; do
  installed "$package" || missing_lean+=("$package")
done

if [ ${#missing[@]} -eq 0 ] && [ ${#missing_lean[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]} ${missing_lean[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo_cmd=(sudo)
  else
    echo "error: need root (or sudo) to install: ${missing[*]} ${missing_lean[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
if [ ${#missing[@]} -ne 0 ]; then
  "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ ${#missing_lean[@]} -ne 0 ]; then
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing_lean[@]}" >/dev/null
fi
echo "Installed."
