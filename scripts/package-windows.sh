#!/bin/bash
# Makes the release zip for editor users, quenda_dx11-VERSION.zip (the
# plug-in, readme_ja.txt, readme_en.txt, LICENSE), in the Windows build
# folder, and checks it. Builds the plug-in first (a no-op when it is up to
# date). QUENDA_WINDOWS_BUILD_DIR picks the build folder (default:
# build-windows); extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${QUENDA_WINDOWS_BUILD_DIR:-build-windows}
QUENDA_WINDOWS_BUILD_DIR=$build scripts/build-windows.sh "$@"
zip=$(python3 packaging/windows/make_zip.py "$build/bin/quenda_dx11.auf" "$build")
python3 .ci/check_windows_package.py "$zip"
echo "Windows release: $zip ($(stat -c %s "$zip") bytes)"
