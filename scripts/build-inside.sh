#!/usr/bin/env bash
# Inside the toolchain root: configure and build the tree in build/.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${TAVRO_BUILD_DIR:-$top/build}"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$top" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE="${TAVRO_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
fi
cmake --build "$build" -- -j"${TAVRO_JOBS:-$(nproc)}"
