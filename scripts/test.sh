#!/usr/bin/env bash
# Builds everything and runs the whole test suite twice: once as built, once
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
scripts/build.sh build
(cd build && ctest --output-on-failure -j2 --timeout 300)
scripts/e2e.sh build
scripts/build.sh build-asan -DTARNWICK_SANITIZE=ON -DTARNWICK_WITH_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j2 --timeout 600)
scripts/fuzz.sh 60
