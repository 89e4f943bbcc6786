#!/usr/bin/env bash
# Inside the toolchain root: configure and build the tree in build/ (or TAVRO_BUILD_DIR).
# Configured every time (cheap when nothing changed), so a changed TAVRO_BUILD_TYPE takes
# effect.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
source "$top/scripts/wine-env.sh"
build=$(wine_env_build_dir "$top")
cmake -S "$top" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE="${TAVRO_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build" -- -j"${TAVRO_JOBS:-$(nproc)}"
