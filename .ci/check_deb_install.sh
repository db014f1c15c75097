#!/bin/bash
# The Debian package as a user meets it, as root on a Debian 12 machine:
# makes it with CPack from the build folder that the tests used, installs it
# with apt-get, runs quenda from PATH in an empty folder (--version, devices,
# demo), then purges it and checks that nothing of it is left under /usr.
#   .ci/check_deb_install.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?usage: $0 BUILD_DIR}")

rm -f "$build"/quenda_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/quenda_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "expected one package in $build, found: ${debs[*]}"; exit 1; }
deb=${debs[0]}
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

if dpkg-query -W -f='${Status}' quenda 2>/dev/null | grep -q 'install ok installed'; then
    echo "quenda is installed already; this check needs a machine without it"
    exit 1
fi
# What was there before, so that only what the package leaves is counted.
before=$(find /usr -name '*quenda*' 2>/dev/null | sort)
DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb"
files=$(dpkg-query -L quenda)

# From PATH, in an empty folder, with a cache folder of its own (as a new
# user's), so that nothing of the build tree can help.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/run" "$work/home"
installed=$(command -v quenda)
[ "$installed" = /usr/bin/quenda ] || { echo "quenda from PATH is $installed, not /usr/bin/quenda"; exit 1; }
(
    cd "$work/run"
    export HOME=$work/home
    unset XDG_CACHE_HOME
    quenda --version | tee version.txt
    grep -q '^plug-in: .*(/usr/lib/\(.*/\)\?quenda/quenda_dx11.so)$' version.txt
    rm version.txt
    quenda devices
    quenda demo --quiet
    ls -l quenda-demo
    [ -s quenda-demo/denoised.mkv ] && [ -s quenda-demo/compare.png ]
    if command -v man >/dev/null; then man -w quenda; fi
)
[ -d "$work/home/.cache/quenda" ] || { echo "the shader cache is not under the user's cache folder"; exit 1; }

DEBIAN_FRONTEND=noninteractive apt-get purge -y quenda
if dpkg-query -W -f='${Status}' quenda 2>/dev/null | grep -q 'installed'; then
    echo "quenda is still known to dpkg after the purge"
    exit 1
fi
left=()
while IFS= read -r path; do
    # Folders such as /usr/share/man stay where other packages use them.
    if [ -e "$path" ] && [ ! -d "$path" ]; then left+=("$path"); fi
done <<<"$files"
while IFS= read -r path; do left+=("$path"); done < <(comm -13 <(printf '%s\n' "$before") \
    <(find /usr -name '*quenda*' 2>/dev/null | sort) | grep .)
if [ ${#left[@]} -ne 0 ]; then
    printf 'left after the purge: %s\n' "${left[@]}"
    exit 1
fi
echo "package installed, run from PATH and purged without a trace under /usr"
