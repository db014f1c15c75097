#!/bin/bash
# Quenda against the denoisers a user would otherwise pick, on the same clips
# in one run: a 640x360 window panned over motorcycle_left of python3-skimage
# for 10 frames (a photograph the calibration did not see), with Gaussian
# noise of sigma 5, 10 and 20 8-bit codes on every plane. Each output is
# measured by ffmpeg's psnr and ssim filters against the clean clip; seconds
# per frame are the whole command's wall time over the frame count, start-up
# included. Peers run at their defaults and "tuned": the strength, a multiple
# of sigma, with the best PSNR-Y on the clip itself (an advantage that
# quenda's auto does not have).
# Usage: bench/compare_peers.sh [BUILD_DIR]   (SIGMAS="5 10 20" by default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
sigmas=${SIGMAS:-5 10 20}
frames=10
bench/fetch_photos.sh "$build/photos"
cmake --build "$build" --target quenda quenda_strength_bench > /dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QUENDA_REGISTRY_ROOT=$work/registry

# Runs a denoising command that writes $work/out.y4m; prints
# "PSNR-Y PSNR-all SSIM-Y SSIM-all seconds-per-frame".
measure() {
    local start=$EPOCHREALTIME
    "$@" > /dev/null 2> "$work/errors" || { cat "$work/errors" >&2; return 1; }
    local seconds
    seconds=$(awk -v a="$start" -v b="$EPOCHREALTIME" -v n="$frames" 'BEGIN { print (b - a) / n }')
    ffmpeg -hide_banner -nostats -i "$work/out.y4m" -i "$clean" \
        -lavfi "[0]split[a][b];[1]split[c][d];[a][c]psnr;[b][d]ssim" -f null - 2>&1 |
        awk -v s="$seconds" '
            /PSNR y:/ { for (i = 1; i <= NF; i++) { split($i, kv, ":"); if (kv[1] == "y") py = kv[2]; if (kv[1] == "average") pa = kv[2] } }
            /SSIM Y:/ { for (i = 1; i <= NF; i++) { split($i, kv, ":"); if (kv[1] == "Y") sy = kv[2]; if (kv[1] == "All") sa = kv[2] } }
            END { printf "%.2f %.2f %.4f %.4f %.3f\n", py, pa, sy, sa, s }'
}

scaled() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%g", a * b }'; }

ffmpeg_filter() { ffmpeg -v error -y -i "$noisy" -vf "$1" -f yuv4mpegpipe "$work/out.y4m"; }

# One row of the table: the name, then the command to measure.
row() {
    local name=$1 figures
    shift
    figures=$(measure "$@")
    print_row "$name" "$figures"
}

print_row() {  # name figures
    read -r py pa sy sa s <<< "$2"
    printf "| %s | %s | %s | %s | %s | %s | %s |\n" "$sigma" "$1" "$py" "$pa" "$sy" "$sa" "$s"
}

# The best PSNR-Y of a filter over strengths of sigma times a ladder of
# factors, climbing from the factor given: "figures|setting".
ladder=(0.25 0.375 0.5 0.75 1 1.5 2 3 4 6 8 12)
tuned() {  # filter-template first-factor
    local template=$1 at=0 step best bestFigures filter figures
    while [ "${ladder[$at]}" != "$2" ]; do at=$((at + 1)); done
    try() {  # ladder index; succeeds when it beats the best so far
        filter=${template//VALUE/$(scaled "$sigma" "${ladder[$1]}")}
        # A strength past the filter's range ends the climb.
        figures=$(measure ffmpeg_filter "$filter" 2> /dev/null) || return 1
        if [ -z "${bestFigures:-}" ] || awk -v a="${figures%% *}" -v b="${bestFigures%% *}" 'BEGIN { exit !(a > b) }'; then
            best=$filter
            bestFigures=$figures
            return 0
        fi
        return 1
    }
    try "$at"
    for step in 1 -1; do
        local next=$((at + step))
        while [ "$next" -ge 0 ] && [ "$next" -lt ${#ladder[@]} ] && try "$next"; do
            at=$next
            next=$((at + step))
        done
    done
    echo "$bestFigures|$best"
}

echo "# bench/compare_peers.sh on $("$build/bin/quenda" devices 2>/dev/null | sed -n 's/^  \* [0-9]*  \(.*\)  \[.*/\1/p')"
echo "# $(nproc) cores; $(ffmpeg -version | head -1 | cut -d' ' -f1-3)"
echo "| sigma | denoiser | PSNR-Y | PSNR all | SSIM-Y | SSIM all | s/frame |"
echo "|---|---|---|---|---|---|---|"
for sigma in $sigmas; do
    "$build/bin/quenda_strength_bench" clips "$work" "$sigma" --size 640x360 --frames "$frames" \
        "$build/photos/motorcycle_left.png" > /dev/null
    noisy=$work/motorcycle_left-noisy.y4m
    clean=$work/motorcycle_left-clean.y4m
    cp "$noisy" "$work/out.y4m"
    row "noisy input" true
    row "quenda, defaults" "$build/bin/quenda" denoise "$noisy" "$work/out.y4m" -y -q
    figures=$(measure "$build/bin/quenda" denoise "$noisy" "$work/out.y4m" -y -q --strength auto --report "$work/auto.json")
    choice=$(grep -o '"dispersion": [0-9]*' "$work/auto.json" | grep -o '[0-9]*$' | paste -sd/)
    print_row "quenda --strength auto (dispersion $choice)" "$figures"
    for peer in nlmeans hqdn3d fftdnoiz bm3d; do
        row "ffmpeg $peer, defaults" ffmpeg_filter "$peer"
        case $peer in
            nlmeans) result=$(tuned "nlmeans=s=VALUE:p=3:r=7" 0.5) ;;
            hqdn3d) result=$(tuned "hqdn3d=VALUE" 1) ;;
            fftdnoiz) result=$(tuned "fftdnoiz=sigma=VALUE" 1) ;;
            bm3d) result=$(tuned "bm3d=sigma=VALUE" 2) ;;
        esac
        print_row "ffmpeg ${result#*|}" "${result%|*}"
    done
done
