#!/usr/bin/env bash
# Installs what is missing, builds from this checkout and runs the whole test suite: on Linux,
# then cross-built for Windows and run under Wine (KESTAL_WINDOWS_BUILD=0 leaves that out).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTAL_BUILD_DIR:-$top/build}
windows_build=${KESTAL_WINDOWS_BUILD_DIR:-$top/build-windows}
export KESTAL_WINDOWS_BUILD=${KESTAL_WINDOWS_BUILD:-1}
jobs=$(nproc 2>/dev/null || echo 2)

"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${KESTAL_CMAKE_ARGS:-}
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 300

if [ "$KESTAL_WINDOWS_BUILD" = 1 ]; then
  # The Linux simulator serves the Windows programs that only talk to a device.
  cmake -S "$top" -B "$windows_build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTAL_HOST_DEVSIM="$build/tools/kestal-devsim"
  cmake --build "$windows_build" -j "$jobs"
  ctest --test-dir "$windows_build" -j "$jobs" --output-on-failure --timeout 300
fi
