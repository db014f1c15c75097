#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer over the plug-in, the stand-ins and the command's
# library) and runs each for a set time, starting from fuzz/corpus/<target>/.
# Inputs that reach code the corpus does not are added to it; a fault leaves
# its input in <build>/findings/<target>/ and makes the script fail.
#
#   fuzz/run_fuzzers.sh [seconds per target, default 60] [target ...]
#
# Targets: registry_cache, plane_convert, video_input (all by default).
# Needs clang and libclang-rt-14-dev (Debian 12). QUENDA_FUZZ_BUILD names the
# build directory (default build-fuzz-clang beside the sources), JOBS the
# build's parallelism.
set -euo pipefail

seconds=${1:-60}
[ $# -gt 0 ] && shift
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUENDA_FUZZ_BUILD:-$root/build-fuzz-clang}
if [ $# -gt 0 ]; then targets=("$@"); else targets=(registry_cache plane_convert video_input); fi

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUENDA_FUZZ=ON -DQUENDA_SANITIZE=address,undefined \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target "${targets[@]/#/quenda_fuzz_}"

# The sanitizer job's suppressions: blocks that Mesa keeps, not Quenda's.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

max_len() {
  case $1 in
    registry_cache) echo 40000 ;;  # a compiled kernel is 14 to 18 KB
    *) echo 4096 ;;
  esac
}

status=0
for target in "${targets[@]}"; do
  corpus=$root/fuzz/corpus/$target
  findings=$build/findings/$target
  fresh=$(mktemp -d)
  mkdir -p "$corpus" "$findings"
  echo "== $target: ${seconds}s from $(ls "$corpus" | wc -l) corpus inputs"
  start=$(date +%s)
  if ! "$build/bin/quenda_fuzz_$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
      -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$findings/" \
      "$fresh" "$corpus" 2>"$build/findings/$target.log"; then
    status=1
    echo "!! $target found a fault after $(( $(date +%s) - start ))s:"
    grep -E "ERROR|SUMMARY|check failed|Test unit written" "$build/findings/$target.log" | head -20 || true
  fi
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb|new_units_added)" \
    "$build/findings/$target.log" || true
  # The corpus keeps its named seeds and, of the found inputs (named by hash)
  # old and new, a small set that reaches code the seeds do not; coverage
  # counted by edges alone, so that loop counts do not make every size new.
  before=$(ls "$corpus" | wc -l)
  kept=$(mktemp -d)
  found=$(mktemp -d)
  find "$corpus" -regextype posix-extended -maxdepth 1 -type f ! -regex '.*/[0-9a-f]{40}' -exec cp {} "$kept/" \;
  find "$corpus" -regextype posix-extended -maxdepth 1 -type f -regex '.*/[0-9a-f]{40}' -exec mv {} "$found/" \;
  if "$build/bin/quenda_fuzz_$target" -set_cover_merge=1 -use_counters=0 -max_len="$(max_len "$target")" \
      -artifact_prefix="$findings/merge-" \
      -timeout=20 "$kept" "$found" "$fresh" >/dev/null 2>"$build/findings/$target.merge.log"; then
    find "$kept" -regextype posix-extended -maxdepth 1 -type f -regex '.*/[0-9a-f]{40}' -exec cp {} "$corpus/" \;
  else
    echo "!! $target: merging failed (see $build/findings/$target.merge.log); corpus left as it was"
    cp "$found"/* "$corpus/" 2>/dev/null || true
    status=1
  fi
  echo "   corpus: $before -> $(ls "$corpus" | wc -l) inputs"
  rm -rf "$kept" "$found" "$fresh"
done
exit $status
