#!/bin/bash
# Runs the Windows plug-in under Wine: cross-builds quenda_dx11.auf and a small
# Windows test host (wine_host.cpp), then, under a virtual X server, the host
# loads the plug-in, checks its descriptor and drives onInit and onExit on
# Wine's real registry, Direct3D 11, DXGI and HLSL compiler. Prints the
# host's transcript; exits non-zero on any mismatch, 77 when Wine cannot be
# installed or this machine cannot run its 32-bit programs.
#
# Environment:
#   QUENDA_WINDOWS_BUILD_DIR  build folder of the plug-in (default build-windows)
#   QUENDA_WINE_PLUGIN        use this quenda_dx11.auf instead of building one
#   QUENDA_WINE_EXPECT        compile-failure (default) or any (see wine_host.cpp)
#   QUENDA_WINE_TIMEOUT       seconds allowed to each Wine call (default 300)
# Extra arguments go to the plug-in's cmake configure step.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${QUENDA_WINDOWS_BUILD_DIR:-build-windows}
expect=${QUENDA_WINE_EXPECT:-compile-failure}
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

step "test host"
work=$(mktemp -d "${TMPDIR:-/tmp}/quenda-wine.XXXXXX")
host=$work/wine_host.exe
i686-w64-mingw32-g++-posix -std=c++17 -O1 -Wall -Wextra -Werror -static \
    -o "$host" tests/wine/wine_host.cpp
took

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

step "test host under Wine (expect: $expect)"
# The host's own path is a Unix one; the plug-in's is given as Windows sees it.
plugin_windows="Z:${plugin//\//\\}"
status=0
(cd "$work" && run_wine wine "$host" "$plugin_windows" "$expect") || status=$?
took
if [ "$status" -ne 0 ]; then
    fail "the Windows plug-in failed under Wine (exit status $status)"
fi
echo "run_wine_test: passed in $((SECONDS - started)) s"
