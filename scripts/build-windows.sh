#!/bin/bash
# Cross-builds the Windows plug-in quenda_dx11.auf with MinGW-w64 and checks
# its exports, imports and version resource (scripts/package-windows.sh makes
# the release zip from it). Extra arguments go to cmake's configure step.
# QUENDA_WINDOWS_BUILD_DIR picks the build folder (default: build-windows).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QUENDA_WINDOWS_BUILD_DIR:-build-windows}
scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja --toolchain cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build "$build"
.ci/check_windows_dll.sh "$build/bin/quenda_dx11.auf"
echo "Windows plug-in: $build/bin/quenda_dx11.auf"
