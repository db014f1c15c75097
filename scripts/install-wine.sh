#!/bin/bash
# Installs 32-bit Wine and a virtual X server from Debian 12, for running the
# Windows plug-in under Wine (tests/wine/run_wine_test.sh) on both Direct3D
# 11s it is checked on. Wine's own draws on OpenGL, so Mesa's 32-bit OpenGL
# drivers come (llvmpipe on the CPU when there is no GPU); DXVK draws on
# Vulkan through Wine's winevulkan, so the 32-bit Vulkan loader and Mesa's
# 32-bit Vulkan drivers come (lavapipe on the CPU), and what builds DXVK.
# Does nothing when all are installed.
set -euo pipefail

packages=(
    wine wine32:i386 xvfb xauth
    libgl1:i386 libglx-mesa0:i386 libgl1-mesa-dri:i386
    libvulkan1:i386 mesa-vulkan-drivers:i386
    meson glslang-tools g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
# An index caught mid-sync on the mirror (Debian's i386 security index, at
# times) fails the update; the packages of the release itself still install.
update_status=0
"${sudo[@]}" apt-get update || update_status=$?
install=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends)
if ! "${install[@]}" "${missing[@]}"; then
    [ "$update_status" -ne 0 ] && echo "apt-get update failed; installing from bookworm alone"
    "${install[@]}" -t bookworm "${missing[@]}"
fi
