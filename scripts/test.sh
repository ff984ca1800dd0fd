#!/usr/bin/env bash
# Installs what is missing, builds from this checkout and runs the whole test suite.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTAL_BUILD_DIR:-$top/build}
jobs=$(nproc 2>/dev/null || echo 2)

"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${KESTAL_CMAKE_ARGS:-}
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 300
