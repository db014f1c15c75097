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

# shellcheck source=scripts/apt_install.sh
source "$(dirname "$0")/apt_install.sh"
install_missing "${packages[@]}"
