#!/usr/bin/env bash
# Takes the README's pictures: the default simulated Mac in a temporary
# SIMMAC_ROOT, the built pane installed there, prefhost shown under Xvfb, its
# window saved to docs/pane.png and the help viewer on the pane's help book to
# docs/help.png; then the same Mac after a login that hung at clocks above the
# card's limit, where the pane opens with the sheet that says so:
# docs/sheet.png. Builds nothing: run scripts/build.sh first.
# Usage: screenshot.sh [BUILD_DIR] (default: build).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
docs=$repo/docs
for f in "$build/host/tools/prefhost" "$build/bundles/TarnwickPref.prefPane"; do
  [ -e "$f" ] || { echo "screenshot: $f is missing; build first (scripts/build.sh)" >&2; exit 1; }
done
command -v xvfb-run >/dev/null || { echo "screenshot: xvfb-run is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SIMMAC_ROOT=$work/simmac
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
unset QT_QPA_PLATFORM  # a real X server (Xvfb), not the offscreen platform
"$repo/scripts/install-pane.sh" "$build/bundles/TarnwickPref.prefPane" >/dev/null
mkdir -p "$docs"
shoot() {
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/host/tools/prefhost" "$@" \
    >/dev/null 2>"$work/prefhost.log" || {
    cat "$work/prefhost.log" >&2
    exit 1
  }
}
shoot --screenshot "$work/pane.png" --screenshot-help "$work/help.png"

# A login that hangs: clocks saved above what the card now holds.
tools=$build/host/tools
"$tools/tarnwickctl" set 0 420 350 >/dev/null
"$tools/tarnwickctl" startup on >/dev/null
"$tools/simmac" limit AGP --vpu 410 >/dev/null
"$tools/simmac" reboot >/dev/null
"$tools/loginwindow" >/dev/null 2>&1 || true  # the startup tool is ended by the hang
"$tools/simmac" reboot >/dev/null
shoot --screenshot "$work/sheet.png"

for picture in pane.png help.png sheet.png; do
  # Copy beside the picture, then rename over it: never a half-written file.
  cp "$work/$picture" "$docs/$picture.tmp"
  mv -f "$docs/$picture.tmp" "$docs/$picture"
  echo "screenshot: wrote $docs/$picture"
done
