#!/usr/bin/env bash
# Builds Tarnwick, installs the pane into the simulated Mac and opens it:
# in a window when there is a display, else the pane's view on the terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# Release, as the test command builds it: after scripts/test.sh nothing is
# built again.
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
scripts/install-pane.sh build/bundles/TarnwickPref.prefPane
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec build/host/tools/prefhost "$@"
fi
echo "run: no display; showing the pane on the terminal (build/host/tools/tarnwickctl --help for more)"
exec build/host/tools/tarnwickctl list
