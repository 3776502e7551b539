#!/usr/bin/env bash
# Installs the built pane bundle into the simulated Mac:
#   $SIMMAC_ROOT/Library/PreferencePanes/TarnwickPref.prefPane
# so that prefhost finds it by default and the login item the pane records
# points into the installed copy. Usage: install-pane.sh [BUNDLE]
# (default: build/bundles/TarnwickPref.prefPane of this checkout).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
src=${1:-$repo/build/bundles/TarnwickPref.prefPane}
root=${SIMMAC_ROOT:-$HOME/.local/share/tarnwick/simmac}
panes=$root/Library/PreferencePanes
dest=$panes/TarnwickPref.prefPane

# Refuse anything that is not a whole pane: a half bundle would install a
# login item that cannot start.
for part in Contents/Info.plist Contents/MacOS/TarnwickPref \
            Contents/Resources/TarnwickStartup.app/Contents/Info.plist \
            Contents/Resources/TarnwickStartup.app/Contents/MacOS/TarnwickStartup; do
  if [ ! -e "$src/$part" ]; then
    echo "install-pane: $src is not a complete pane bundle (missing $part); build it first" >&2
    exit 1
  fi
done

mkdir -p "$panes"
# Copy beside the destination (same file system), then rename into place, so
# a reader sees the old pane or the new one, never a half-copied one.
tmp=$(mktemp -d "$panes/.TarnwickPref.install.XXXXXX")
old=""
cleanup() {
  rm -rf "$tmp"
  [ -n "$old" ] && rm -rf "$old"
  return 0
}
trap cleanup EXIT
cp -R "$src" "$tmp/TarnwickPref.prefPane"
if [ -e "$dest" ]; then
  old=$(mktemp -d "$panes/.TarnwickPref.old.XXXXXX")
  mv -T "$dest" "$old/TarnwickPref.prefPane"
fi
if ! mv -T "$tmp/TarnwickPref.prefPane" "$dest"; then
  # Put the previous pane back rather than leave none.
  [ -n "$old" ] && mv -T "$old/TarnwickPref.prefPane" "$dest"
  echo "install-pane: could not install $dest" >&2
  exit 1
fi
echo "install-pane: installed $dest"
