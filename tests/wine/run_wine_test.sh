#!/bin/bash
# Runs the Windows plug-in under Wine: cross-builds quenda_dx11.auf and two
# small Windows test hosts, then, under a virtual X server, with Wine's
# registry and Win32 threads, runs them on two Direct3D 11s that we did not
# write, each in a fresh 32-bit prefix: Wine's own (wined3d, over Mesa's
# OpenGL) and DXVK 2.6.2 (over Mesa's Vulkan, through Wine's winevulkan;
# its d3d11.dll and dxgi.dll beside the hosts, d3d11,dxgi=n):
#   wine_frames.exe, three times: denoises synthetic clips at several track
#     sets, preview and output runs, and holds every frame against the CPU
#     reference of the kernels; the first start fills the registry cache, the
#     second takes the runtime kernels from it and must give the same frames;
#     a third start, with the plug-in's registry calls refused, must still
#     denoise, without a box;
#   wine_host.exe: the descriptor and onInit/onExit, once with vkd3d's
#     compiler (initialisation succeeds) and once with Wine's own, which
#     refuses the kernels (the boxes and the cleanup of that path).
# Wine's compiler cannot compile the kernels, so the hosts point the
# plug-in's D3DX11CompileFromMemory at vkd3d 1.17's D3DCompile (its 32-bit
# Windows build, made once per machine outside the checkout) after the same
# textual equivalents as the DXBC check. DXVK is built once per machine
# beside it. Prints the hosts' transcripts, DXVK's version, device and every
# warning or error it logged, and each Direct3D 11's figures; exits non-zero
# on any mismatch, 77 when Wine cannot be installed or this machine cannot
# run its 32-bit programs.
#
# Environment:
#   QUENDA_WINDOWS_BUILD_DIR  build folder of the plug-in and the hosts
#                             (default build-windows)
#   QUENDA_WINE_PLUGIN        use this quenda_dx11.auf instead of building one
#   QUENDA_TOOLS_DIR          where vkd3d's and DXVK's Windows builds go
#                             (default ~/.cache/quenda)
#   QUENDA_WINE_D3D11S        the Direct3D 11s to run on (default "wined3d dxvk")
#   QUENDA_WINE_TIMEOUT       seconds allowed to each Wine call (default 300)
# Extra arguments go to the plug-in's cmake configure step.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${QUENDA_WINDOWS_BUILD_DIR:-build-windows}
tools=${QUENDA_TOOLS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quenda}
vkd3d=$tools/vkd3d-1.17-mingw32
dxvk=$tools/dxvk-2.6.2-mingw32
d3d11s=${QUENDA_WINE_D3D11S:-wined3d dxvk}
for d3d11 in $d3d11s; do
    case $d3d11 in
        wined3d | dxvk) ;;
        *) echo "run_wine_test: QUENDA_WINE_D3D11S: unknown Direct3D 11 '$d3d11' (wined3d, dxvk)" >&2; exit 2 ;;
    esac
done
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

work=$(mktemp -d "${TMPDIR:-/tmp}/quenda-wine.XXXXXX")
prefixes=()
cleanup() {
    local prefix
    for prefix in "${prefixes[@]}"; do
        WINEPREFIX=$prefix timeout 30 wineserver -k >/dev/null 2>&1 || true
    done
    rm -rf "$work" "${dxvk_partial:-}"
}
trap cleanup EXIT
# A time limit from outside (CI's timeout) still ends this run's Wine.
trap 'exit 143' TERM INT

if [[ " $d3d11s " == *" dxvk "* ]]; then
    step "DXVK 2.6.2, 32-bit Windows DLLs"
    if [ ! -f "$dxvk/.built" ]; then
        # Built beside its final place and moved there whole, so that an
        # interrupted build leaves nothing a later run would take as built.
        echo "   building into $dxvk (once per machine: 10 to 15 minutes on 2 cores)"
        dxvk_partial=$dxvk.partial.$$
        rm -rf "$dxvk_partial"
        if ! DXVK_BUILD_DIR=$dxvk_partial/build JOBS=$(nproc) third_party/dxvk/build-dxvk.sh "$dxvk_partial/dll" \
            > "$work/dxvk-build.log" 2>&1; then
            tail -n 40 "$work/dxvk-build.log"
            echo "run_wine_test: building DXVK's Windows DLLs failed" >&2
            exit 1
        fi
        touch "$dxvk_partial/dll/.built"
        rm -rf "$dxvk"
        mv "$dxvk_partial/dll" "$dxvk"
        rm -rf "$dxvk_partial"
    fi
    took
fi

step "test hosts"
# Targets of the Windows build (tests/wine/CMakeLists.txt), built with the
# plug-in by scripts/build-windows.sh; with a plug-in given, in a build folder
# of their own.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja --toolchain cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release "$@" > /dev/null
fi
cmake --build "$build" --target wine_frames wine_host
hosts=$build/tests/wine
took

export WINEDEBUG=${WINEDEBUG:-fixme-all}
log=$work/wine.log

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

# Paths as Windows sees them; the hosts' own are Unix ones.
windows_path() { local p; p=$(realpath "$1"); echo "Z:${p//\//\\}"; }
plugin_windows=$(windows_path "$plugin")
vkd3d_windows=$(windows_path "$vkd3d/bin/libvkd3d-utils-1.dll")

# DXVK's log of the last host: the version and device it names, and each
# distinct warning or error with how often it came.
dxvk_report() {
    local logs=("$@")
    [ -f "${logs[0]}" ] || fail "DXVK wrote no log (${logs[0]}): the plug-in did not run on it"
    local version
    version=$(cat "${logs[@]}" 2>/dev/null | grep -m1 -o 'DXVK: v\?[0-9][0-9.]*' || true)
    [ -n "$version" ] || fail "DXVK's log names no version (${logs[*]})"
    dxvk_version=${version#DXVK: }
    dxvk_device=$(cat "${logs[@]}" 2>/dev/null | sed -n 's/^info: *Device : //p' | head -n 1)
    local level
    level=$(cat "${logs[@]}" 2>/dev/null | sed -n 's/.*Using feature level D3D_FEATURE_LEVEL_//p' | head -n 1)
    dxvk_level=${level:-?}
    echo "   DXVK ${dxvk_version} on ${dxvk_device:-an unnamed device}, feature level $dxvk_level"
    local warnings
    warnings=$(cat "${logs[@]}" 2>/dev/null | grep -E '^(warn|err): ' | sort | uniq -c | sort -rn || true)
    if [ -n "$warnings" ]; then
        echo "   DXVK's warnings and errors (count, line):"
        echo "$warnings" | sed 's/^/   /'
    else
        echo "   DXVK logged no warning or error"
    fi
}

# The hosts' closing lines, one per Direct3D 11, for the end of the run.
summary=()

run_on() {
    local d3d11=$1
    local dir=$work/$d3d11
    mkdir -p "$dir"
    cp "$hosts/wine_frames.exe" "$hosts/wine_host.exe" "$dir/"
    # A fresh prefix, so that the registry starts without the cache key.
    # The Mono and Gecko installers are turned off: their prompts would wait
    # forever on the virtual screen.
    export WINEPREFIX=$dir/prefix WINEARCH=win32
    export WINEDLLOVERRIDES="mscoree,mshtml="
    prefixes+=("$WINEPREFIX")
    step "$d3d11: Wine prefix ($wine_version)"
    run_wine wineboot --init || fail "wineboot failed"
    took
    local name="wined3d ($wine_version)"
    local host_env=(QUENDA_WINE_D3D11="$d3d11")
    if [ "$d3d11" = dxvk ]; then
        # The plug-in's d3d11.dll import, and DXVK's own of dxgi.dll, are
        # found beside the host first.
        cp "$dxvk/d3d11.dll" "$dxvk/dxgi.dll" "$dir/"
        host_env+=(WINEDLLOVERRIDES="$WINEDLLOVERRIDES;d3d11,dxgi=n" DXVK_LOG_LEVEL="${DXVK_LOG_LEVEL:-info}"
            DXVK_LOG_PATH="$(windows_path "$dir")")
    fi

    under_wine() {
        local label=$1 what="$d3d11: $1" host=$2
        shift 2
        step "$what"
        rm -f "$dir/${host%.exe}_d3d11.log" "$dir/${host%.exe}_dxgi.log"
        local status=0
        (cd "$dir" && run_wine env "${host_env[@]}" wine "$dir/$host" "$@") | tee "$dir/transcript.txt" || status=${PIPESTATUS[0]}
        if [ "$d3d11" = dxvk ]; then
            dxvk_report "$dir/${host%.exe}_d3d11.log" "$dir/${host%.exe}_dxgi.log"
            name="DXVK $dxvk_version (${dxvk_device:-?}, feature level $dxvk_level, $wine_version)"
        fi
        took
        [ "$status" -eq 0 ] || fail "$what failed under Wine (exit status $status)"
        local closing
        closing=$(grep -m1 '^wine frames on ' "$dir/transcript.txt" || true)
        [ -z "$closing" ] || summary+=("$name, $label: ${closing#wine frames on $d3d11: }")
    }
    under_wine "frames, first start" wine_frames.exe "$plugin_windows" "$vkd3d_windows" first digests.txt
    under_wine "frames, second start" wine_frames.exe "$plugin_windows" "$vkd3d_windows" second digests.txt
    under_wine "frames, cache key refused" wine_frames.exe "$plugin_windows" "$vkd3d_windows" refused digests.txt
    under_wine "start-up, vkd3d's compiler" wine_host.exe "$plugin_windows" success "$vkd3d_windows"
    under_wine "start-up, Wine's compiler" wine_host.exe "$plugin_windows" compile-failure
}

for d3d11 in $d3d11s; do
    run_on "$d3d11"
done
echo "-- figures"
for line in "${summary[@]}"; do
    echo "   $line"
done
echo "run_wine_test: passed on $d3d11s in $((SECONDS - started)) s"
