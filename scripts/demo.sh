#!/bin/bash
# Sets up a Debian 12 machine if needed, builds Quenda for Linux and runs the
# built-in example: a synthetic noisy clip denoised through the plug-in.
# Extra arguments go to `quenda demo` (e.g. an output folder); the files of
# an earlier run there are replaced.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QUENDA_BUILD_DIR:-build}
scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja
cmake --build "$build" --target quenda quenda_dx11
"$build/bin/quenda" demo -y "$@"
