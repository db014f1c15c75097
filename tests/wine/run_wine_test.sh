#!/bin/bash
# Runs the Windows plug-in under Wine: cross-builds quenda_dx11.auf and two
# small Windows test hosts, then, under a virtual X server, in a fresh 32-bit
# prefix, on Wine's own Direct3D 11 (wined3d over Mesa's OpenGL), registry and
# Win32 threads:
#   wine_frames.exe, twice: denoises synthetic clips at several track sets,
#     preview and output runs, and holds every frame against the CPU reference
#     of the kernels; the first start fills the registry cache, the second
#     takes the runtime kernels from it and must give the same frames; a
#     third start, with the plug-in's registry calls refused, must still
#     denoise, without a box;
#   wine_host.exe: the descriptor and onInit/onExit, once with vkd3d's
#     compiler (initialisation succeeds) and once with Wine's own, which
#     refuses the kernels (the boxes and the cleanup of that path).
# Wine's compiler cannot compile the kernels, so the hosts point the
# plug-in's D3DX11CompileFromMemory at vkd3d 1.17's D3DCompile (its 32-bit
# Windows build, made once per machine outside the checkout) after the same
# textual equivalents as the DXBC check. Prints the hosts' transcripts; exits
# non-zero on any mismatch, 77 when Wine cannot be installed or this machine
# cannot run its 32-bit programs.
#
# Environment:
#   QUENDA_WINDOWS_BUILD_DIR  build folder of the plug-in (default build-windows)
#   QUENDA_WINE_PLUGIN        use this quenda_dx11.auf instead of building one
#   QUENDA_TOOLS_DIR          where vkd3d's Windows build goes (default ~/.cache/quenda)
#   QUENDA_WINE_TIMEOUT       seconds allowed to each Wine call (default 300)
# Extra arguments go to the plug-in's cmake configure step.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${QUENDA_WINDOWS_BUILD_DIR:-build-windows}
tools=${QUENDA_TOOLS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quenda}
vkd3d=$tools/vkd3d-1.17-mingw32
wine_timeout=${QUENDA_WINE_TIMEOUT:-300}
started=$SECONDS
step_started=$SECONDS
step() {
    echo "-- $* ($((SECONDS - started)) s)"
    step_started=$SECONDS
}
took() { echo "   took $((SECONDS - step_started)) s"; }

step "packages"
if ! scripts/install-wine.sh; then
    echo "run_wine_test: SKIPPED: Wine could not be installed" >&2
    exit 77
fi
took

step "plug-in"
if [ -n "${QUENDA_WINE_PLUGIN:-}" ]; then
    plugin=$(realpath "$QUENDA_WINE_PLUGIN")
    .ci/check_windows_dll.sh "$plugin"
else
    QUENDA_WINDOWS_BUILD_DIR=$build scripts/build-windows.sh "$@"
    plugin=$(realpath "$build/bin/quenda_dx11.auf")
fi
took

step "vkd3d 1.17, 32-bit Windows DLLs"
if [ ! -f "$vkd3d/.built" ]; then
    echo "   building into $vkd3d (once per machine)"
    rm -rf "$vkd3d"
    vkd3d_log=$(mktemp)
    if ! third_party/vkd3d/build-vkd3d.sh "$vkd3d" mingw32 > "$vkd3d_log" 2>&1; then
        tail -n 40 "$vkd3d_log"
        rm -f "$vkd3d_log"
        echo "run_wine_test: building vkd3d's Windows DLLs failed" >&2
        exit 1
    fi
    rm -f "$vkd3d_log"
    touch "$vkd3d/.built"
fi
took

step "test hosts"
work=$(mktemp -d "${TMPDIR:-/tmp}/quenda-wine.XXXXXX")
# A fresh 32-bit prefix, so that the registry starts without the cache key.
# The Mono and Gecko installers are turned off: their prompts would wait
# forever on the virtual screen.
export WINEPREFIX=$work/prefix WINEARCH=win32
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=${WINEDEBUG:-fixme-all}
log=$work/wine.log

cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
# A time limit from outside (CI's timeout) still ends this prefix's Wine.
trap 'exit 143' TERM INT

cxx=(i686-w64-mingw32-g++-posix -std=c++17 -O1 -Wall -Wextra -Werror -static -I.)
compiler=(tests/wine/vkd3d_compiler.cpp tests/dxbc/vkd3d_equivalents.cpp)
# The frames host carries the Linux tests' host and CPU reference, and the
# plane conversion they use, serially (no OpenMP in the host).
"${cxx[@]}" -Wno-unknown-pragmas -o "$work/wine_frames.exe" tests/wine/wine_frames.cpp "${compiler[@]}" \
    tests/support/test_host.cpp tests/support/reference_frame.cpp tests/support/nlm_reference.cpp \
    gpu/strength.cpp pipeline/plane_convert.cpp &
frames_build=$!
"${cxx[@]}" -o "$work/wine_host.exe" tests/wine/wine_host.cpp "${compiler[@]}"
wait "$frames_build"
took

# Each Wine call gets its own virtual X server and a time limit; the
# wineserver is then given time to end with it.
run_wine() {
    local status=0
    timeout --kill-after=10 "$wine_timeout" xvfb-run -a -s "-screen 0 1024x768x24" "$@" 2>>"$log" || status=$?
    timeout 60 wineserver -w >/dev/null 2>&1 || timeout 30 wineserver -k >/dev/null 2>&1 || true
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "run_wine_test: '$*' ran past ${wine_timeout} s" >&2
    fi
    return "$status"
}

fail() {
    echo "run_wine_test: $*" >&2
    echo "--- last lines of Wine's log" >&2
    tail -n 40 "$log" >&2 || true
    exit 1
}

# Wine's loader is a 32-bit program, which some kernels (and virtual machines)
# cannot run at all: that is this machine's limit, not the plug-in's.
wine_status=0
wine_version=$(timeout 30 wine --version 2>&1) || wine_status=$?
if [ "$wine_status" -eq 126 ]; then
    echo "run_wine_test: SKIPPED: this machine cannot run Wine's 32-bit programs ($wine_version)" >&2
    exit 77
elif [ "$wine_status" -ne 0 ]; then
    fail "wine --version failed with status $wine_status: $wine_version"
fi
step "Wine prefix ($wine_version)"
run_wine wineboot --init || fail "wineboot failed"
took

# Paths as Windows sees them; the hosts' own are Unix ones.
windows_path() { local p; p=$(realpath "$1"); echo "Z:${p//\//\\}"; }
plugin_windows=$(windows_path "$plugin")
vkd3d_windows=$(windows_path "$vkd3d/bin/libvkd3d-utils-1.dll")

under_wine() {
    local what=$1
    shift
    step "$what"
    local status=0
    (cd "$work" && run_wine wine "$@") || status=$?
    took
    [ "$status" -eq 0 ] || fail "$what failed under Wine (exit status $status)"
}

under_wine "frames, first start" "$work/wine_frames.exe" "$plugin_windows" "$vkd3d_windows" first digests.txt
under_wine "frames, second start" "$work/wine_frames.exe" "$plugin_windows" "$vkd3d_windows" second digests.txt
under_wine "frames, cache key refused" "$work/wine_frames.exe" "$plugin_windows" "$vkd3d_windows" refused digests.txt
under_wine "start-up, vkd3d's compiler" "$work/wine_host.exe" "$plugin_windows" success "$vkd3d_windows"
under_wine "start-up, Wine's compiler" "$work/wine_host.exe" "$plugin_windows" compile-failure
echo "run_wine_test: passed in $((SECONDS - started)) s"
