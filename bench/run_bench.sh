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

# One quenda run of CLIP (or of INPUT where set) over FRAMES (or COUNT) frames: prints "ms-per-frame wait% plugin% service% worker% steady-ms".
quenda_run() {
    local bin=$1
    shift
    local report=$WORK/report.json
    in_build "$bin" quenda denoise "${INPUT:-$CLIP}" "$@" -q -y --frames "0:${COUNT:-$FRAMES}" --report "$report"
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
for which in $(builds); do values=MEDIANS_$which; printf -v "OUTPUT_$which" '%s' "${!values}"; done
quenda_runs "$WORK/preview.mkv" --preview
report_run "--preview" 2000
for which in $(builds); do
    values=MEDIANS_$which; printf -v "PREVIEW_$which" '%s' "${!values}"
    values=OUTPUT_$which; printf -v "MEDIANS_$which" '%s' "${!values}"
done
echo "(goal for the output run: the host waits less than 10 % of the wall time apart from the GPU work itself;"
echo " the host waits only in the join, while the worker runs its GPU pass)"
echo

# Per-frame time of an ffmpeg command line without its start: the command
# run for 1 and for COUNT (default FRAMES) frames, (t(COUNT) - t(1)) /
# (COUNT - 1); LOOP=1 reads the input over and over, for passes too quick to
# time over a few frames. ffmpeg_ms INPUT ARGS... (ARGS come after the input).
ffmpeg_ms() {
    local input=$1 count=${COUNT:-$FRAMES} loop=() t0 t1 t2
    shift
    [[ ${LOOP:-0} == 1 ]] && loop=(-stream_loop -1)
    t0=$(now)
    "$FFMPEG" -v error -nostdin "${loop[@]}" -i "$input" -frames:v 1 "$@"
    t1=$(now)
    "$FFMPEG" -v error -nostdin "${loop[@]}" -i "$input" -frames:v "$count" "$@"
    t2=$(now)
    calc "1000 * (($t2 - $t1) - ($t1 - $t0)) / ($count - 1)"
}
# The median of RUNS runs of a command that prints one number.
median_of_runs() {
    local values=() i
    for ((i = 0; i < RUNS; i++)); do values+=("$("$@")"); done
    printf '%s\n' "${values[@]}" | median
}

R0=(--luma-time 0 --chroma-time 0 --luma-space 0 --chroma-space 0 --luma-dispersion 50 --chroma-dispersion 50)
R3T0=(--luma-time 0 --chroma-time 0 --luma-space 3 --chroma-space 3)
if [[ -n $FFMPEG ]]; then
    # The same clip as Y4M, five times over, for the passes that only read and
    # write frames: quick per frame, they are timed over more frames, so that
    # the first frame's one-time costs weigh less.
    Y4M=$WORK/clip.y4m
    "$FFMPEG" -v error -nostdin -stream_loop 4 -i "$CLIP" -strict -1 -f yuv4mpegpipe -y "$Y4M"
    echo "-- goals: against ffmpeg on the same clip and machine, medians of $RUNS, per frame without the start --"
    ff_nlm=$(median_of_runs ffmpeg_ms "$CLIP" -filter_threads 2 -vf nlmeans=p=3:r=7:s=6 -f null -)
    pix_fmt=$(ffprobe -v error -select_streams v:0 -show_entries stream=pix_fmt -of csv=p=0 "$Y4M" 2> /dev/null ||
        echo yuv420p)
    ff_pass=$(LOOP=1 COUNT=$((10 * FRAMES)) median_of_runs ffmpeg_ms "$Y4M" -vf "format=yuv444p16le,format=$pix_fmt" -strict -1 \
        -f yuv4mpegpipe -y "$WORK/pass.y4m")
    echo "ffmpeg nlmeans=p=3:r=7:s=6, 2 filter threads (49 candidates)   $(calc "$ff_nlm") ms per frame ($FFMPEG $("$FFMPEG" -version | head -n 1 | cut -d' ' -f3))"
    echo "ffmpeg y4m -> yuv444p16le -> y4m pass                          $(calc "$ff_pass") ms per frame"
    echo
    declare -A t0r3_runs=() r0_runs=()
    for ((i = 0; i < RUNS; i++)); do
        for which in $(builds); do
            t0r3_runs[$which]+="$(quenda_run "$(bin_of "$which")" "$WORK/t0r3.y4m" "${R3T0[@]}" | cut -d' ' -f1)"$'\n'
            r0_runs[$which]+="$(INPUT=$Y4M COUNT=$((5 * FRAMES)) quenda_run "$(bin_of "$which")" "$WORK/r0.y4m" \
                "${R0[@]}" | cut -d' ' -f1)"$'\n'
        done
    done
    for which in $(builds); do
        t0r3=$(printf '%s' "${t0r3_runs[$which]}" | median)
        r0=$(printf '%s' "${r0_runs[$which]}" | median)
        values=MEDIANS_$which
        read -r defaults _ <<< "${!values}"
        values=PREVIEW_$which
        read -r preview _ <<< "${!values}"
        echo "goals ($which build), ratios in this run:"
        printf '  output run T 0 R 3 / ffmpeg nlmeans            %6.2f  (%.1f ms; goal at most 1:   %s)\n' \
            "$(calc "$t0r3 / $ff_nlm" 3)" "$t0r3" "$(verdict "$t0r3 <= $ff_nlm")"
        printf '  output run at the defaults / ffmpeg nlmeans    %6.2f  (%.1f ms; goal at most 2:   %s)\n' \
            "$(calc "$defaults / $ff_nlm" 3)" "$defaults" "$(verdict "$defaults <= 2 * $ff_nlm")"
        printf '  output run, every radius 0 / ffmpeg y4m pass   %6.2f  (%.1f ms; goal at most 2:   %s)\n' \
            "$(calc "$r0 / $ff_pass" 3)" "$r0" "$(verdict "$r0 <= 2 * $ff_pass")"
        printf '  --preview / output run at the defaults         %6.2f  (%.1f ms; goal at most 1.5: %s)\n' \
            "$(calc "$preview / $defaults" 3)" "$preview" "$(verdict "$preview <= 1.5 * $defaults")"
    done
    echo
fi

echo "bench took $(calc "$(now) - $bench_start" 0) s"
