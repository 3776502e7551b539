#!/usr/bin/env bash
# Builds Tarnwick and shows the default simulated Mac.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
exec build/host/tools/simmac show
