#!/usr/bin/env bash
# The speed figures and the end-to-end reference check on a machine with a
# GPU that cannot build the project (no compilers' libraries, no network):
# the build made here travels with every shared library it needs.
#
#   bench/gpu.sh prepare [BUILD_DIR]   here: packs BUILD_DIR/bin, its libraries and
#                                      the Vulkan loader packages into .gpu/
#   bench/gpu.sh run                   there (or here, as a dry run): unpacks .gpu/,
#                                      sets Vulkan up, prints `quenda devices`, the
#                                      shipped kernels against the plain search,
#                                      the figures of bench/run_bench.sh and the
#                                      reference tests
#
# The device tool runs it as: command "bash bench/gpu.sh run", carry [".gpu"].
# On a CPU device (lavapipe, a dry run) the figures use few frames and runs.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
PACK=${GPU_PACK:-$ROOT/.gpu}  # another folder for a dry run that leaves the checkout alone

prepare() {
    local build=${1:-$ROOT/build}
    local bin
    bin=$(cd "$build/bin" && pwd)
    for tool in quenda quenda_dx11.so libquenda_platform.so quenda_pipeline_bench quenda_plugin_unit_tests quenda_plugin_module_tests; do
        [[ -e $bin/$tool ]] || { echo "gpu.sh: $bin/$tool is missing; build first" >&2; exit 2; }
    done
    mkdir -p "$PACK"
    # The pack travels as an ignored, carried folder, never as part of a commit.
    local exclude=$ROOT/.git/info/exclude
    if [[ $PACK == "$ROOT/.gpu" && -d $ROOT/.git ]] && ! grep -qx '/.gpu/' "$exclude" 2> /dev/null; then
        mkdir -p "$(dirname "$exclude")"
        echo '/.gpu/' >> "$exclude"
    fi
    local stage
    stage=$(mktemp -d "${TMPDIR:-/tmp}/quenda-gpu-pack-XXXXXX")
    trap 'rm -rf "$stage"' RETURN

    # The build, stripped; the tests find the plug-in and quenda by the
    # absolute path they were built with, which the run makes again.
    mkdir -p "$stage/bin" "$stage/libs"
    local tools=(quenda quenda_dx11.so libquenda_platform.so quenda_pipeline_bench quenda_kernel_bench
                 quenda_plugin_unit_tests quenda_plugin_module_tests)
    for tool in "${tools[@]}"; do
        [[ -e $bin/$tool ]] && strip --strip-unneeded -o "$stage/bin/$tool" "$bin/$tool"
    done
    echo "$bin" > "$stage/bin/BUILT_AT"
    tar -C "$stage" -cJf "$PACK/bin.tar.xz" bin

    # Every library they load, but the C library's own and the C++ run time,
    # which the other machine has in newer versions.
    (cd "$stage/bin" && ldd "${tools[@]/#/./}" 2> /dev/null) | awk '/=> \// { print $3 }' | sort -u |
        grep -v -E '/(libc|libm|libdl|libpthread|librt|libresolv|ld-linux-x86-64|libstdc\+\+|libgcc_s)\.so' |
        while read -r lib; do cp -L "$lib" "$stage/libs/"; done
    XZ_OPT=${XZ_OPT:--6 -T0} tar -C "$stage" -cJf "$PACK/libs.tar.xz" libs

    # The Vulkan loader and GL dispatch packages that the NVIDIA driver's
    # Vulkan library needs, unpacked there into / (the device README's recipe).
    mkdir -p "$PACK/debs"
    local apt_opts=(-oAPT::Architecture=amd64 -oAPT::Architectures=amd64 -oDir::State::Lists=/tmp/amd64)
    mkdir -p /tmp/amd64/partial
    if apt-get "${apt_opts[@]}" update > /dev/null 2>&1 &&
        (cd "$PACK/debs" && apt-get "${apt_opts[@]}" download libvulkan1 libegl1 libglvnd0 libopengl0 libgl1 libglx0 \
            libgles2 > /dev/null 2>&1); then
        :
    else
        echo "gpu.sh: could not download the loader packages; the run relies on the machine's own" >&2
    fi
    du -sh "$PACK"
    echo "ready: run \"bash bench/gpu.sh run\" on the device machine with carry [\".gpu\"]"
}

run() {
    [[ -f $PACK/bin.tar.xz && -f $PACK/libs.tar.xz ]] || { echo "gpu.sh: no $PACK; run 'bench/gpu.sh prepare' first" >&2; exit 2; }
    local started=$SECONDS
    local work=${GPU_WORK:-/tmp/quenda-gpu}
    rm -rf "$work"
    mkdir -p "$work"
    tar -C "$work" -xJf "$PACK/bin.tar.xz"
    tar -C "$work" -xJf "$PACK/libs.tar.xz"
    local out=${OUT:-$work}
    local log=$out/gpu_bench.log
    exec > >(tee "$log") 2>&1
    echo "== bench/gpu.sh run on $(hostname), $(nproc) cores =="

    # The NVIDIA driver, where there is one: its GL dispatch libraries and
    # Vulkan loader unpacked into / as the device README says (never on a
    # machine without it), and its Vulkan driver named.
    local nvidia_icd=/usr/local/nvidia/share/vulkan/icd.d/nvidia_icd.json
    if [[ -f $nvidia_icd ]]; then
        if [[ $(id -u) == 0 ]] && compgen -G "$PACK/debs/*.deb" > /dev/null; then
            for f in "$PACK"/debs/*.deb; do dpkg -x "$f" /; done
            ldconfig
        fi
        export VK_DRIVER_FILES=$nvidia_icd VK_ICD_FILENAMES=$nvidia_icd
        local egl=/usr/local/nvidia/share/glvnd/egl_vendor.d/10_nvidia.json
        [[ -f $egl ]] && export __EGL_VENDOR_LIBRARY_FILENAMES=$egl
        command -v nvidia-smi > /dev/null && nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader
    fi
    export LD_LIBRARY_PATH=$work/libs:$work/bin${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

    # The tests load the plug-in and run quenda from where they were built.
    local built_at
    built_at=$(cat "$work/bin/BUILT_AT")
    if [[ ! -e $built_at/quenda_dx11.so ]]; then
        mkdir -p "$(dirname "$built_at")"
        rm -rf "$built_at"
        ln -s "$work/bin" "$built_at"
    fi
    "$work/bin/quenda" devices
    local runs=${RUNS:-5} slow_runs=${SLOW_RUNS:-3} frames=${FRAMES:-24} size=(1920 1080)
    if "$work/bin/quenda" devices | grep -q '^  \* .*\[cpu,'; then
        echo "(a CPU device: a dry run with few frames and runs)"
        runs=${RUNS:-1} slow_runs=${SLOW_RUNS:-1} frames=${FRAMES:-2} size=(320 180)
    fi
    echo

    local status=0
    # Which search pays off on this device: the shipped kernels against the
    # plain one, per frame, at the default tracks and at R 8, T 3.
    for tracks in "3 1 50" "8 3 50"; do
        echo "-- shipped kernels against the plain search, ${size[0]} x ${size[1]}, R T dispersion $tracks --"
        # shellcheck disable=SC2086
        timeout "${BENCH_LIMIT:-300}" "$work/bin/quenda_kernel_bench" "$slow_runs" "${size[@]}" $tracks --plain ||
            { status=1; echo "quenda_kernel_bench failed"; }
        echo
    done

    RUNS=$runs SLOW_RUNS=$slow_runs FRAMES=$frames timeout "${BENCH_LIMIT:-300}" \
        bash "$ROOT/bench/run_bench.sh" "$work" || { status=$?; echo "run_bench.sh ended with $status"; }
    echo

    echo "-- end-to-end reference check: the kernels against the CPU reference, the GPU pass, the scheduler --"
    export QUENDA_SOURCE_DIR=$ROOT
    export QUENDA_REGISTRY_ROOT=$work/registry
    mkdir -p "$QUENDA_REGISTRY_ROOT"
    timeout "${TEST_LIMIT:-120}" "$built_at/quenda_plugin_unit_tests" --gtest_filter='Kernel*:GpuPass*' --gtest_brief=1 ||
        { status=1; echo "kernel and GPU pass reference tests FAILED"; }
    timeout "${TEST_LIMIT:-120}" "$built_at/quenda_plugin_module_tests" --gtest_filter='Scheduler*' --gtest_brief=1 ||
        { status=1; echo "scheduler tests FAILED"; }
    echo "gpu.sh took $((SECONDS - started)) s; log in $log"
    return $status
}

case ${1:-} in
    prepare) shift; prepare "$@" ;;
    run) run ;;
    *) echo "usage: bench/gpu.sh prepare [BUILD_DIR] | run" >&2; exit 2 ;;
esac
