#!/usr/bin/env python3
"""Makes the release zip quenda_dx11-VERSION.zip for editor users.

usage: make_zip.py PLUGIN OUTPUT_DIR

The zip holds the plug-in, the two readmes and the licence. The readmes are
kept in the repository as UTF-8 with LF line ends; here they get the version
from host/version.h and the form that Notepad opens correctly: readme_ja.txt
in code page 932, readme_en.txt in ASCII, both with CRLF line ends.
Prints the zip's path.
"""
import pathlib
import re
import sys
import time
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
TEXTS = ROOT / "packaging" / "windows"


def version():
    header = (ROOT / "host" / "version.h").read_text(encoding="ascii")
    found = re.search(r'^#define QUENDA_VERSION_TEXT "([0-9.]+)"$', header, re.M)
    if not found:
        sys.exit("make_zip: no QUENDA_VERSION_TEXT in host/version.h")
    return found.group(1)


def windows_text(text, encoding):
    """LF to CRLF, then encoded strictly: a character the code page lacks is an error."""
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode(encoding)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[2])
    plugin = pathlib.Path(sys.argv[1])
    out_dir = pathlib.Path(sys.argv[2])
    ver = version()

    def readme(name, encoding):
        template = (TEXTS / (name + ".in")).read_text(encoding="utf-8")
        return windows_text(template.replace("@VERSION@", ver), encoding)

    members = [
        ("quenda_dx11.auf", plugin.read_bytes()),
        ("readme_ja.txt", readme("readme_ja.txt", "cp932")),
        ("readme_en.txt", readme("readme_en.txt", "ascii")),
        ("LICENSE", windows_text((ROOT / "LICENSE").read_text(encoding="ascii"), "ascii")),
    ]

    out_dir.mkdir(parents=True, exist_ok=True)
    path = out_dir / f"quenda_dx11-{ver}.zip"
    stamp = time.localtime()[:6]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for name, data in members:
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            archive.writestr(info, data)
    print(path)


if __name__ == "__main__":
    main()
