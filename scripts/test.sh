#!/usr/bin/env bash
# Checks the layout (clang-format), builds everything and runs the whole
# test suite twice: once as built (followed by the end-to-end script), once
# under AddressSanitizer with LeakSanitizer and UndefinedBehaviorSanitizer;
# then a short run of every fuzz target. Prints each step's time.
set -euo pipefail
cd "$(dirname "$0")/.."
step() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  echo "test: $name: $((SECONDS - start)) s"
}
suite() { (cd "$1" && shift && ctest --output-on-failure -j2 "$@"); }
step setup scripts/setup.sh
step layout scripts/lint.sh --format-only
export QT_QPA_PLATFORM=offscreen
step build scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DTARNWICK_WERROR=ON
step setup-check scripts/check-setup.sh build
step tests suite build --timeout 300
step end-to-end scripts/e2e.sh build
step sanitizer-build scripts/build.sh build-asan -DTARNWICK_WERROR=ON -DTARNWICK_SANITIZE=ON \
  -DTARNWICK_WITH_BENCH=OFF
sanitized() {
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 suite "$@"
}
step sanitizer-tests sanitized build-asan --timeout 600
step fuzz scripts/fuzz.sh 60
