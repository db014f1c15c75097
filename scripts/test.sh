#!/bin/bash
# Sets up a Debian 12 machine if needed, builds Quenda for Linux and runs
# every test. Extra arguments go to cmake's configure step.
# QUENDA_BUILD_DIR picks the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QUENDA_BUILD_DIR:-build}
scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja "$@"
cmake --build "$build"
(cd "$build" && ctest --output-on-failure)
