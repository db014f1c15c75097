#!/usr/bin/env bash
# Speed figures of the whole path for a 1920x1080 clip at the default tracks,
# on the device that the Direct3D 11 stand-in picks (QUENDA_VULKAN_DEVICE
# picks another): each stage of one frame, onInit with an empty and a filled
# shader cache, `quenda denoise` end to end in an output run and in --preview,
# and ffmpeg's nlmeans against our single-frame run, all in this one run.
#
#   bench/run_bench.sh [BUILD_DIR]        (default: ./build)
#
# Environment: RUNS (3) runs of each fast item, SLOW_RUNS (2) of each
# whole-clip run, FRAMES (4) frames per whole-clip run, SIZE (1920x1080),
# FFMPEG (ffmpeg; empty skips the comparison), KEEP=1 keeps the work folder,
# BASELINE=OTHER_BUILD_DIR measures that build too, run for run beside this
# one, and prints the ratios. Figures are medians; compare ratios within one
# run, not absolute times across runs.
set -euo pipefail

BUILD=${1:-build}
BIN=$(cd "$BUILD/bin" && pwd)
BASE_BIN=
[[ -n ${BASELINE:-} ]] && BASE_BIN=$(cd "$BASELINE/bin" && pwd)
RUNS=${RUNS:-3}
SLOW_RUNS=${SLOW_RUNS:-2}
FRAMES=${FRAMES:-4}
SIZE=${SIZE:-1920x1080}
FFMPEG=${FFMPEG-ffmpeg}
for dir in "$BIN" $BASE_BIN; do
    for tool in quenda quenda_pipeline_bench; do
        [[ -x $dir/$tool ]] || { echo "run_bench.sh: $dir/$tool is missing; build first" >&2; exit 2; }
    done
done
if [[ -n $FFMPEG ]] && ! command -v "$FFMPEG" > /dev/null; then
    echo "run_bench.sh: $FFMPEG not found; the nlmeans comparison is skipped" >&2
    FFMPEG=
fi
(( FRAMES >= 2 )) || FRAMES=2

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quenda-bench-XXXXXX")
[[ ${KEEP:-0} == 1 ]] || trap 'rm -rf "$WORK"' EXIT
# Each build keeps its own shader cache: the cache's key names the device, not
# the kernels, so a shared one would hand one build the other's kernels.
mkdir -p "$WORK/registry-before" "$WORK/registry-after"

now() { date +%s.%N; }
# Median of the numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Median of column $1 of the rows on standard input.
column_median() { awk -v c="$1" '{ print $c }' | median; }
# A number from quenda's JSON report: json FILE KEY.
json() { grep -o "\"$2\": [-0-9.e]*" "$1" | head -n 1 | awk '{ print $2 }'; }
calc() { awk "BEGIN { printf \"%.${2:-1}f\", $1 }"; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo met; else echo "NOT met"; fi; }
# Which builds to measure: "after" alone, or "before" and "after".
builds() { if [[ -n $BASE_BIN ]]; then echo "before after"; else echo after; fi; }
bin_of() { if [[ $1 == before ]]; then echo "$BASE_BIN"; else echo "$BIN"; fi; }
# Runs a program of the build in BIN_DIR with that build's cache: in_build BIN_DIR PROGRAM ARGS...
in_build() {
    local which=after
    [[ $1 == "$BASE_BIN" && $BASE_BIN != "$BIN" ]] && which=before
    QUENDA_REGISTRY_ROOT=$WORK/registry-$which "$1/$2" "${@:3}"
}

bench_start=$(now)
echo "== Quenda speed bench: $SIZE, tracks 3 1 50 3 1 50 (the defaults) =="
echo "host: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "build: $BIN${BASE_BIN:+ (after), $BASE_BIN (before)}"
"$BIN/quenda" devices
echo

CLIP=$WORK/clip.mkv
"$BIN/quenda_pipeline_bench" make-clip "$CLIP" --frames "$((FRAMES + 2))" --size "$SIZE"
echo "clip: quenda's demo synthesis, $SIZE, $((FRAMES + 2)) frames, FFV1"
echo

for which in $(builds); do
    echo "-- one frame, stage by stage ($which: quenda_pipeline_bench stages --clip CLIP --runs $RUNS) --"
    in_build "$(bin_of "$which")" quenda_pipeline_bench stages --clip "$CLIP" --runs "$RUNS" --size "$SIZE"
    echo
done
for which in $(builds); do
    echo "-- onInit ($which: quenda_pipeline_bench init --runs $((RUNS + 2))) --"
    in_build "$(bin_of "$which")" quenda_pipeline_bench init --runs "$((RUNS + 2))"
    echo
done

# One quenda run: prints "ms-per-frame wait% plugin% service% worker% steady-ms".
quenda_run() {
    local bin=$1
    shift
    local report=$WORK/report.json
    in_build "$bin" quenda denoise "$CLIP" "$@" -q -y --frames "0:$FRAMES" --report "$report"
    local loop frames wait plugin service worker
    loop=$(json "$report" frames_seconds)
    frames=$(json "$report" frames_written)
    wait=$(json "$report" worker_wait_seconds)
    plugin=$(json "$report" in_plugin_seconds)
    service=$(json "$report" frame_service_seconds)
    worker=$(json "$report" worker_run_seconds)
    echo "$(calc "1000 * $loop / $frames") $(calc "100 * $wait / $loop") $(calc "100 * $plugin / $loop")" \
        "$(calc "100 * $service / $loop") $(calc "100 * $worker / $loop")"
}
# SLOW_RUNS runs of each build, alternating; leaves the medians of each
# column in MEDIANS_before and MEDIANS_after.
quenda_runs() {
    local -A rows=()
    local i which
    for ((i = 0; i < SLOW_RUNS; i++)); do
        for which in $(builds); do rows[$which]+="$(quenda_run "$(bin_of "$which")" "$@")"$'\n'; done
    done
    for which in $(builds); do
        local out=() col
        for col in 1 2 3 4 5; do out+=("$(printf '%s' "${rows[$which]}" | column_median $col)"); done
        printf -v "MEDIANS_$which" '%s' "${out[*]}"
    done
}
report_run() {
    local label=$1 goal=$2 which
    for which in $(builds); do
        local values=MEDIANS_$which
        read -r ms wait plugin service worker <<< "${!values}"
        printf '%-12s %-7s %8.1f ms per frame   (goal: at most %d; %s)\n' "$label" "$which" "$ms" "$goal" \
            "$(verdict "$ms <= $goal")"
        printf '%22s host waiting for the worker %5.1f %% of the loop; in onProcess %5.1f %%; serving frames %5.1f %%;\n' \
            "" "$wait" "$plugin" "$service"
        printf '%22s worker running %5.1f %% (its GPU pass; the rest of the loop it has nothing to do)\n' "" "$worker"
    done
    if [[ -n $BASE_BIN ]]; then
        local before after
        read -r before _ <<< "$MEDIANS_before"
        read -r after _ <<< "$MEDIANS_after"
        printf '%-12s after / before: %.2f\n' "$label" "$(calc "$after / $before" 3)"
    fi
}

echo "-- quenda denoise, end to end: $FRAMES frames, median of $SLOW_RUNS runs (ms per frame of the frame loop) --"
quenda_runs "$WORK/out.mkv"
report_run "output run" 1000
quenda_runs "$WORK/preview.mkv" --preview
report_run "--preview" 2000
echo "(goal for the output run: the host waits less than 10 % of the wall time apart from the GPU work itself;"
echo " the host waits only in the join, while the worker runs its GPU pass)"
echo

if [[ -n $FFMPEG ]]; then
    echo "-- single frame peers: ffmpeg nlmeans=p=3:r=7:s=6 against quenda, both time ranges 0, spatial ranges 3 --"
    # ffmpeg's per-frame time without its start: (N frames - 1 frame) / (N - 1).
    ffmpeg_ms() {
        local t0 t1 t2
        t0=$(now)
        "$FFMPEG" -v error -nostdin -i "$CLIP" -frames:v 1 -vf nlmeans=p=3:r=7:s=6 -f null -
        t1=$(now)
        "$FFMPEG" -v error -nostdin -i "$CLIP" -frames:v "$FRAMES" -vf nlmeans=p=3:r=7:s=6 -f null -
        t2=$(now)
        calc "1000 * (($t2 - $t1) - ($t1 - $t0)) / ($FRAMES - 1)"
    }
    ff=() single_before=() single_after=()
    for ((i = 0; i < RUNS; i++)); do
        ff+=("$(ffmpeg_ms)")
        for which in $(builds); do
            ms=$(quenda_run "$(bin_of "$which")" "$WORK/single.y4m" --luma-time 0 --chroma-time 0 --luma-space 3 \
                --chroma-space 3 | awk '{ print $1 }')
            if [[ $which == before ]]; then single_before+=("$ms"); else single_after+=("$ms"); fi
        done
    done
    ff_ms=$(printf '%s\n' "${ff[@]}" | median)
    echo "ffmpeg nlmeans p=3 r=7       $(calc "$ff_ms") ms per frame ($FFMPEG $("$FFMPEG" -version | head -n 1 | cut -d' ' -f3), median of $RUNS)"
    for which in $(builds); do
        if [[ $which == before ]]; then ours=$(printf '%s\n' "${single_before[@]}" | median)
        else ours=$(printf '%s\n' "${single_after[@]}" | median); fi
        echo "quenda T 0, R 3 ($which)    $(calc "$ours") ms per frame (output run, Y4M out)"
        echo "ratio quenda / ffmpeg ($which) $(calc "$ours / $ff_ms" 2)   (goal: at most 1; $(verdict "$ours <= $ff_ms"))"
    done
    echo
fi

echo "bench took $(calc "$(now) - $bench_start" 0) s"
