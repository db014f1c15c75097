#!/bin/bash
# Checks the Windows plug-in module: a 32-bit PE DLL named quenda_dx11.auf in
# its export directory, exporting only the undecorated GetFilterTable,
# importing only from system DLLs (everything else must be linked in), and
# carrying a version resource with the version of host/version.h.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: $0 path/to/quenda_dx11.auf" >&2
    exit 2
fi
module=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
dump=$("$objdump" -p "$module")
failures=0
fail() { echo "check_windows_dll: $*" >&2; failures=$((failures + 1)); }

grep -q 'file format pei-i386' <<<"$dump" || fail "not a 32-bit i386 PE image"
grep -Eq '^Magic[[:space:]]+010b' <<<"$dump" || fail "optional header is not PE32"
awk '/^Characteristics/{on=1; next} on && /^[^[:space:]]/{exit} on' <<<"$dump" | grep -qw DLL \
    || fail "image is not a DLL"

name=$(awk '/^The Export Tables/{on=1} on && /^Name[[:space:]]/{print $NF; exit}' <<<"$dump")
[ "$name" = "quenda_dx11.auf" ] || fail "export directory names '${name:-nothing}', not quenda_dx11.auf"

exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[[:space:]]*$/{exit} on{print $NF}' <<<"$dump")
if [ "$exports" != "GetFilterTable" ]; then
    fail "exports must be exactly GetFilterTable; found: $(paste -sd ' ' <<<"${exports:-none}")"
fi

allowed='^(kernel32|user32|advapi32|d3d11|dxgi|d3dx11_42|msvcrt|api-ms-win-crt-[a-z0-9-]+)\.dll$'
imports=$(awk '/DLL Name:/{print $NF}' <<<"$dump" | sort -u)
for dll in $imports; do
    lower=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
    [[ $lower =~ $allowed ]] || fail "imports from non-system DLL $dll"
done

# The version resource, as the toolchain's resource compiler reads it back.
header=$root/host/version.h
major=$(awk '$2 == "QUENDA_VERSION_MAJOR" {print $3}' "$header")
minor=$(awk '$2 == "QUENDA_VERSION_MINOR" {print $3}' "$header")
version=$(awk '$2 == "QUENDA_VERSION_TEXT" {gsub(/"/, "", $3); print $3}' "$header")
windres=${WINDRES:-i686-w64-mingw32-windres}
resource=$("$windres" -i "$module" -O rc 2>&1) || resource=""
if ! grep -q 'VERSIONINFO' <<<"$resource"; then
    fail "no version resource"
else
    grep -Eq "^[[:space:]]*FILEVERSION $major, $minor, 0, 0\$" <<<"$resource" || fail "FILEVERSION is not $major, $minor, 0, 0"
    grep -Eq "^[[:space:]]*PRODUCTVERSION $major, $minor, 0, 0\$" <<<"$resource" || fail "PRODUCTVERSION is not $major, $minor, 0, 0"
    grep -Eq '^[[:space:]]*FILETYPE 0x2$' <<<"$resource" || fail "version resource does not describe a DLL"
    resource_value() { sed -n "s/^[[:space:]]*VALUE \"$1\", \"\(.*\)\"\$/\1/p" <<<"$resource"; }
    [ "$(resource_value FileVersion)" = "$version" ] || fail "FileVersion is '$(resource_value FileVersion)', not $version"
    [ "$(resource_value ProductVersion)" = "$version" ] || fail "ProductVersion is '$(resource_value ProductVersion)', not $version"
    [ "$(resource_value OriginalFilename)" = "quenda_dx11.auf" ] || fail "OriginalFilename is not quenda_dx11.auf"
    for name in ProductName FileDescription LegalCopyright; do
        [ -n "$(resource_value "$name")" ] || fail "version resource has no $name"
    done
fi

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "check_windows_dll: $module ok (version $version; exports GetFilterTable; imports: $(paste -sd ' ' <<<"$imports"))"
