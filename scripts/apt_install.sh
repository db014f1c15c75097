# shellcheck shell=bash
# Sourced by the scripts that install Debian 12 packages.
#   install_missing PACKAGE...
# installs those of the packages that are not installed yet, as root or
# through sudo, and does nothing when all of them are; adds the i386
# architecture first when an i386 package is among them.
install_missing() {
    local missing=() package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386 || return
    fi
    # An index caught mid-sync on the mirror (Debian's i386 security index, at
    # times) fails the update; the packages of the release itself still install.
    local update_status=0
    "${sudo[@]}" apt-get update || update_status=$?
    local install=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends)
    if ! "${install[@]}" "${missing[@]}"; then
        [ "$update_status" -ne 0 ] && echo "apt-get update failed; installing from bookworm alone"
        "${install[@]}" -t bookworm "${missing[@]}"
    fi
}
