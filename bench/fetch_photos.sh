#!/bin/bash
# Puts the photographs of Debian's python3-skimage (bookworm: 0.19.3) into
# DEST, without installing the package: apt-get download fetches the .deb
# and dpkg-deb unpacks it. Does nothing when DEST already holds them.
# Usage: bench/fetch_photos.sh DEST
set -euo pipefail
dest=${1:?usage: bench/fetch_photos.sh DEST}
photos=(astronaut.png coffee.png rocket.jpg ihc.png chelsea.png motorcycle_left.png)

have_all() {
    for photo in "${photos[@]}"; do [ -s "$dest/$photo" ] || return 1; done
}
have_all && exit 0
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# A machine whose package lists were never fetched knows no .deb to download.
if ! apt-get download python3-skimage > download.log 2>&1; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update > /dev/null
    apt-get download python3-skimage > download.log 2>&1 || { cat download.log >&2; exit 1; }
fi
dpkg-deb -x python3-skimage_*.deb unpacked
for photo in "${photos[@]}"; do
    cp unpacked/usr/lib/python3/dist-packages/skimage/data/"$photo" "$dest/"
done
have_all
