#!/bin/bash
# Compiles the plug-in's kernel texts with vkd3d 1.17's HLSL compiler into the
# DXBC bytecode that Direct3D on Windows runs, as the plug-in compiles them,
# and fails on a form that does not compile, compiles slowly, keeps a run-time
# indexed array, or (runtime forms) outgrows the registry cache. This is the
# closest check of Microsoft's compiler that a Linux machine allows, not that
# compiler itself. vkd3d is built once per machine, outside the checkout.
#
# Environment:
#   QUENDA_BUILD_DIR   the Linux build folder to add the check to (default build)
#   QUENDA_TOOLS_DIR   where vkd3d is installed (default ~/.cache/quenda)
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${QUENDA_BUILD_DIR:-build}
tools=${QUENDA_TOOLS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quenda}
vkd3d=$tools/vkd3d-1.17

if [ ! -f "$vkd3d/.built" ]; then
    echo "-- building vkd3d 1.17 into $vkd3d"
    rm -rf "$vkd3d"
    log=$(mktemp)
    if ! third_party/vkd3d/build-vkd3d.sh "$vkd3d" > "$log" 2>&1; then
        tail -n 40 "$log"
        rm -f "$log"
        echo "run_dxbc_check: building vkd3d failed" >&2
        exit 1
    fi
    rm -f "$log"
    touch "$vkd3d/.built"
fi

cmake -S . -B "$build" -G Ninja -DQUENDA_VKD3D_DIR="$vkd3d" > /dev/null
cmake --build "$build" --target quenda_dxbc_check
VKD3D_DEBUG=none VKD3D_SHADER_DEBUG=none "$build/bin/quenda_dxbc_check"
