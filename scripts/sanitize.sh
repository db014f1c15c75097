#!/bin/bash
# Builds the tests with sanitizers and runs them: the whole suite under
# AddressSanitizer with UndefinedBehaviorSanitizer, and the threaded tests
# (scheduler, worker, threads, registry, immediate context) under
# ThreadSanitizer. Usage: scripts/sanitize.sh [asan|tsan|all]
set -euo pipefail
cd "$(dirname "$0")/.."

which=${1:-all}
root=$(pwd)
threaded='Scheduler*:Win32Thread*:Registry*:D3D11Context*'

configure_and_build() {  # dir sanitizers [more targets]
    cmake -S . -B "$1" -G Ninja -DQUENDA_WERROR=ON -DQUENDA_SANITIZE="$2" > /dev/null
    cmake --build "$1" --target quenda quenda_dx11 quenda_platform_tests quenda_plugin_unit_tests quenda_plugin_module_tests quenda_cli_tests "${@:3}"
}

if [ "$which" = asan ] || [ "$which" = all ]; then
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer: every test"
    configure_and_build build-asan address,undefined \
        quenda_replay_registry_cache quenda_replay_plane_convert quenda_replay_video_input
    export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    build-asan/bin/quenda_platform_tests --gtest_brief=1
    build-asan/bin/quenda_plugin_unit_tests --gtest_brief=1
    build-asan/bin/quenda_plugin_module_tests --gtest_brief=1
    build-asan/bin/quenda_cli_tests --gtest_brief=1
    (cd build-asan && ctest --output-on-failure -R FuzzCorpus)
fi

if [ "$which" = tsan ] || [ "$which" = all ]; then
    echo "== ThreadSanitizer: threaded tests"
    configure_and_build build-tsan thread
    # GCC's OpenMP run time is not instrumented; one OpenMP thread keeps its
    # barriers out of the picture while the worker thread is checked.
    export OMP_NUM_THREADS=1
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
    build-tsan/bin/quenda_platform_tests --gtest_brief=1 --gtest_filter="$threaded"
    build-tsan/bin/quenda_plugin_module_tests --gtest_brief=1 --gtest_filter="$threaded"
fi
