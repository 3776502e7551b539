#!/usr/bin/env bash
# Installs the Debian packages the build needs, or the packages named on the
# command line; only those missing. --list prints the build's packages.
#   scripts/setup.sh [--list | PACKAGE...]
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libplist-dev libplist++-dev libcli11-dev libsimdjson-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libqt6opengl6-dev qt6-tools-dev qt6-tools-dev-tools libqt6help6
  qt6-image-formats-plugins libgl-dev
  xvfb xauth fonts-dejavu-core
)
if [ "${1:-}" = --list ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi
if (($#)); then
  packages=("$@")
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
