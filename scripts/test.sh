#!/usr/bin/env bash
# Checks the layout (clang-format), builds everything and runs the whole
# test suite twice: once as built (followed by the end-to-end script), once
# under AddressSanitizer with LeakSanitizer and UndefinedBehaviorSanitizer;
# then a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/lint.sh --format-only
export QT_QPA_PLATFORM=offscreen
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DTARNWICK_WERROR=ON
scripts/check-setup.sh build
(cd build && ctest --output-on-failure -j2 --timeout 300)
scripts/e2e.sh build
scripts/build.sh build-asan -DTARNWICK_WERROR=ON -DTARNWICK_SANITIZE=ON -DTARNWICK_WITH_BENCH=OFF
suppressions=$PWD/tests/lsan.supp
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$suppressions:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2 --timeout 600)
scripts/fuzz.sh 60
