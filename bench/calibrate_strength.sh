#!/bin/bash
# Builds the calibration table of the automatic strength (cli/analysis/noise_estimate.cpp)
# from clips panned over four photographs of Debian's python3-skimage, at nine
# noise levels. The held-out test and bench/compare_peers.sh use two others
# (chelsea, motorcycle_left). About half an hour on lavapipe with two cores.
# Usage: bench/calibrate_strength.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
photos="$build/photos"
bench/fetch_photos.sh "$photos"
cmake --build "$build" --target quenda_strength_bench > /dev/null
echo "# bench/calibrate_strength.sh $build"
"$build/bin/quenda_strength_bench" calibrate --size 320x240 --frames 10 --sigmas 2,3,5,7,10,14,20,25,30 \
    "$photos/astronaut.png" "$photos/coffee.png" "$photos/rocket.jpg" "$photos/ihc.png"
