#!/bin/bash
# Installs the Debian 12 packages that building and testing Quenda needs.
# Does nothing when all of them are already installed.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libgmock-dev
    libvulkan-dev mesa-vulkan-drivers vulkan-tools
    glslang-dev glslang-tools spirv-tools
    g++-mingw-w64-i686 mingw-w64-i686-dev
    libavformat-dev libavcodec-dev libswscale-dev libswresample-dev libavutil-dev ffmpeg
    libcli11-dev
    python3
    # the Debian package (CPack reads the binaries' dependencies with file and
    # dpkg-shlibdeps) and the check that the manual page renders cleanly
    file dpkg-dev groff-base
    # vkd3d's DXBC compiler, built for the kernel check (tests/dxbc/)
    autoconf automake libtool bison flex libjson-perl spirv-headers mingw-w64-tools
)

# shellcheck source=scripts/apt_install.sh
source "$(dirname "$0")/apt_install.sh"
install_missing "${packages[@]}"
