#!/usr/bin/env bash
# Proves that scripts/setup.sh installs everything the build found: the owner
# of every package config that CMake used (each *_DIR entry of the build's
# CMakeCache.txt) must be one of setup.sh's packages or among their
# dependencies (recommends do not count: setup.sh installs without them).
# A build that worked only because the machine happened to have a package
# fails here.
#   scripts/check-setup.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
cache=${1:-build}/CMakeCache.txt
[ -f "$cache" ] || { echo "check-setup: $cache not found (build first)" >&2; exit 1; }

mapfile -t listed < <(scripts/setup.sh --list)
closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
  --no-breaks --no-replaces --no-enhances "${listed[@]}" 2>/dev/null |
  grep -v '^ ' | sed 's/:.*//' | sort -u)

missing=()
while IFS= read -r dir; do
  [ -d "$dir" ] || continue
  for config in "$dir"/*Config.cmake "$dir"/*-config.cmake; do
    [ -f "$config" ] || continue
    owner=$(dpkg -S "$config" 2>/dev/null | head -1 | cut -d: -f1) || true
    if [ -z "$owner" ]; then
      missing+=("$config (no package owns it)")
    elif ! grep -qxF "$owner" <<<"$closure"; then
      missing+=("$owner (for $config)")
    fi
  done
done < <(sed -n 's/^[A-Za-z0-9_]*_DIR:PATH=//p' "$cache" | sort -u)

if ((${#missing[@]})); then
  echo "check-setup: the build used packages that scripts/setup.sh does not install:" >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi
echo "check-setup: every package config the build used comes from scripts/setup.sh's list"
