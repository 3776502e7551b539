#!/usr/bin/env bash
# Static checks: clang-format (.clang-format) on every C++ file in the
# repository, then clang-tidy (.clang-tidy) on every project source in the
# compile database of a build folder (default build/; configured and built
# first when it has none, so Qt's generated headers exist). Prints every
# finding and exits non-zero if there is any. With --format-only, only the
# clang-format check (seconds; clang-tidy takes about 17 minutes on 2 cores).
# The fuzz targets are in the compile database of build-fuzz/.
#   scripts/lint.sh [--format-only] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
formatOnly=0
if [ "${1:-}" = "--format-only" ]; then
  formatOnly=1
  shift
fi
dir=${1:-build}

tools=(clang-format)
[ "$formatOnly" -eq 1 ] || tools+=(clang-tidy)
scripts/setup.sh "${tools[@]}"

echo "lint: clang-format"
if ! git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror; then
  echo "lint: clang-format: files above need formatting (clang-format -i <file>)"
  [ "$formatOnly" -eq 1 ] && exit 1
  formatFailed=1
fi
if [ "$formatOnly" -eq 1 ]; then
  echo "lint: clang-format clean"
  exit 0
fi

if [ ! -f "$dir/compile_commands.json" ]; then
  echo "lint: no compile database in $dir; building it"
  scripts/build.sh "$dir"
fi
dir=$(cd "$dir" && pwd)
jobs=$(nproc)
status=${formatFailed:-0}

# The sources the build compiles that belong to the repository (not the
# files Qt generates inside the build folder).
mapfile -t sources < <(python3 - "$dir" "$root" <<'EOF'
import json, os, sys
build, root = (os.path.realpath(p) + "/" for p in sys.argv[1:3])
seen = set()
for entry in json.load(open(build + "compile_commands.json")):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    if path.startswith(root) and not path.startswith(build):
        seen.add(path)
for path in sorted(seen):
    print(path)
EOF
)
# Only headers of the checkout itself, not generated ones in build folders.
rootRegex=$(printf '%s' "$root" | sed 's/[.[\*^$()+?{|]/\\&/g')
headers="^$rootRegex/(cards|host|TarnwickPref|TarnwickStartup|tests|bench|fuzz)/"

echo "lint: clang-tidy on ${#sources[@]} files with $jobs jobs"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
if ! printf '%s\0' "${sources[@]}" |
    xargs -0 -P"$jobs" -n1 clang-tidy -p "$dir" --quiet --header-filter="$headers" >"$out" 2>&1; then
  status=1
fi
# Drop clang-tidy's progress chatter ("N warnings generated.").
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$out" || true
findings=$(grep -c -E ': (warning|error): ' "$out" || true)
if [ "$findings" -gt 0 ]; then
  echo "lint: clang-tidy: $findings findings"
  status=1
fi
[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"
