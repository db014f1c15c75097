#!/usr/bin/env python3
"""Checks the release zip quenda_dx11-VERSION.zip.

usage: check_windows_package.py ZIP

- the zip is named after the version of host/version.h and holds exactly
  quenda_dx11.auf, readme_ja.txt, readme_en.txt and LICENSE;
- the plug-in passes .ci/check_windows_dll.sh (exports, imports, version
  resource) and its information string ends in that version;
- readme_ja.txt is code page 932 and readme_en.txt ASCII, both with CRLF
  line ends only;
- the readmes list the plug-in's message boxes: readme_ja.txt quotes every
  text of pluginMessages (state/message_table.h, which must list each text of
  that header once) under a number [Mnn], with captions taken from there;
  readme_en.txt has the same numbers, each naming the ASCII words of its
  text; readme_ja.txt names the six track bars as the plug-in does.
The texts are read from the sources and must also lie in the plug-in, ended
by NUL, so a mistake in reading them cannot pass unnoticed.
"""
import pathlib
import re
import subprocess
import sys
import tempfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
MEMBERS = {"quenda_dx11.auf", "readme_ja.txt", "readme_en.txt", "LICENSE"}
failures = []


def fail(message):
    failures.append(message)


def report_failures():
    if failures:
        for message in failures:
            print(f"check_windows_package: {message}", file=sys.stderr)
        sys.exit(1)


def c_strings(source):
    """The byte values of the C string literals in source, adjacent ones joined,
    as a list of (text before the literal run, bytes)."""
    result = []
    literal = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
    # Comments out, literals kept: a quote in a comment starts no literal.
    source = re.sub(r'("(?:[^"\\\n]|\\.)*")|//[^\n]*|/\*.*?\*/',
                    lambda m: m.group(1) or " ", source, flags=re.S)
    pos = 0
    while True:
        first = literal.search(source, pos)
        if not first:
            return result
        prefix = source[pos:first.start()]
        value = bytearray()
        end = first.start()
        while True:
            match = literal.match(source, end)
            if not match:
                break
            value += unescape(match.group(1))
            end = match.end()
            gap = re.match(r"\s*", source[end:]).end()
            if source[end + gap:end + gap + 1] != '"':
                break
            end += gap
        result.append((prefix, bytes(value)))
        pos = end


def unescape(body):
    simple = {"n": 10, "t": 9, "r": 13, "0": 0, "\\": 92, '"': 34, "'": 39}
    out = bytearray()
    i = 0
    while i < len(body):
        ch = body[i]
        if ch != "\\":
            out += ch.encode("ascii")
            i += 1
            continue
        kind = body[i + 1]
        if kind == "x":
            digits = re.match(r"[0-9A-Fa-f]+", body[i + 2:]).group(0)
            out.append(int(digits, 16) & 0xFF)
            i += 2 + len(digits)
        else:
            out.append(simple[kind])
            i += 2
    return out


def named_strings(path):
    """name -> bytes for each `constexpr const char name[] = "...";`."""
    found = {}
    for prefix, value in c_strings(path.read_text(encoding="utf-8")):
        name = re.search(r"char\s+(\w+)\[\]\s*=\s*$", prefix)
        if name:
            found[name.group(1)] = value
    return found


def message_table(path):
    """The text names of pluginMessages, the plug-in's texts with their glosses."""
    block = re.search(r"pluginMessages\[\]\s*=\s*\{(.*?)\n\};", path.read_text(encoding="utf-8"), re.S)
    return re.findall(r"\{\s*(\w+)\s*,", block.group(1)) if block else []


def track_names(path):
    source = path.read_text(encoding="utf-8")
    block = re.search(r"trackNames\[[^\]]*\]\s*=\s*\{(.*?)\};", source, re.S)
    return [value for _, value in c_strings(block.group(1))] if block else []


def check_text(name, data, encoding):
    if b"\r" in data.replace(b"\r\n", b"") or b"\n" in data.replace(b"\r\n", b""):
        fail(f"{name}: a line does not end in CRLF")
    if data.startswith(b"\xef\xbb\xbf"):
        fail(f"{name}: starts with a UTF-8 byte order mark")
    try:
        text = data.decode(encoding)
    except UnicodeDecodeError as error:
        fail(f"{name}: not {encoding}: {error}")
        return ""
    if text.encode(encoding) != data:
        fail(f"{name}: does not survive a round trip through {encoding}")
    if "@VERSION@" in text:
        fail(f"{name}: the version was not filled in")
    return text


def entries(text):
    """[Mnn] number -> the paragraph that starts with it."""
    found = {}
    for paragraph in re.split(r"\r\n[ \t]*\r\n", text):
        head = re.match(r"\[M(\d\d)\] ", paragraph)
        if head:
            if head.group(1) in found:
                fail(f"message number [M{head.group(1)}] is used twice")
            found[head.group(1)] = paragraph
    return found


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: check_windows_package.py ZIP")
    path = pathlib.Path(sys.argv[1])
    header = (ROOT / "host" / "version.h").read_text(encoding="ascii")
    version = re.search(r'^#define QUENDA_VERSION_TEXT "([0-9.]+)"$', header, re.M).group(1)

    if path.name != f"quenda_dx11-{version}.zip":
        fail(f"zip is named {path.name}, not quenda_dx11-{version}.zip")
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
        if sorted(names) != sorted(MEMBERS):
            fail(f"zip holds {sorted(names)}, not {sorted(MEMBERS)}")
        files = {name: archive.read(name) for name in names if name in MEMBERS}
    if len(files) != len(MEMBERS):
        report_failures()

    plugin = files["quenda_dx11.auf"]
    with tempfile.TemporaryDirectory() as work:
        dll = pathlib.Path(work) / "quenda_dx11.auf"
        dll.write_bytes(plugin)
        if subprocess.run([str(ROOT / ".ci" / "check_windows_dll.sh"), str(dll)]).returncode != 0:
            fail("quenda_dx11.auf failed check_windows_dll.sh")
    if f" for DX11 ver {version}\0".encode("ascii") not in plugin:
        fail(f"the plug-in's information string does not end in ver {version}")

    ja = check_text("readme_ja.txt", files["readme_ja.txt"], "cp932")
    en = check_text("readme_en.txt", files["readme_en.txt"], "ascii")
    license_text = check_text("LICENSE", files["LICENSE"], "ascii")
    if license_text.replace("\r\n", "\n") != (ROOT / "LICENSE").read_text(encoding="ascii"):
        fail("LICENSE differs from the repository's")

    # The plug-in's own texts, each of which it must carry.
    texts = named_strings(ROOT / "state" / "message_table.h")
    tracks = track_names(ROOT / "host" / "filter_table.cpp")
    info = [v for _, v in c_strings((ROOT / "host" / "filter_table.cpp").read_text(encoding="utf-8"))
            if v.startswith(b"Quenda") and b" ver " in v]
    if len(texts) < 20 or len(tracks) != 6 or len(info) != 1:
        fail(f"read {len(texts)} messages, {len(tracks)} track names, {len(info)} information strings from the sources")
    for name, value in list(texts.items()) + [(f"track {i}", v) for i, v in enumerate(tracks)]:
        if value + b"\0" not in plugin:
            fail(f"{name} as read from the source is not in the plug-in")
    captions = {value.decode("cp932") for name, value in texts.items() if name.startswith("caption")}
    table = message_table(ROOT / "state" / "message_table.h")
    if sorted(table) != sorted(name for name in texts if not name.startswith("caption")):
        fail(f"pluginMessages names {sorted(table)}, not each text of state/message_table.h once")
    messages = {texts[name].decode("cp932"): name for name in table if name in texts}

    if info and (info[0] + version.encode("ascii")).decode("cp932") not in ja:
        fail("readme_ja.txt does not name the plug-in as its information string does")
    if f"ver {version}" not in en:
        fail(f"readme_en.txt does not give the version {version}")
    for name, text in (("readme_ja.txt", ja), ("readme_en.txt", en)):
        for other in set(re.findall(r"\bver ([0-9][0-9.]*[0-9])", text)) - {version}:
            fail(f"{name} gives the version {other}, not {version}")
    for track in tracks:
        if track.decode("cp932") not in ja:
            fail(f"readme_ja.txt does not name the track {track.decode('cp932')}")

    ja_entries = entries(ja)
    quoted = {}
    for number, paragraph in ja_entries.items():
        text = re.match(r"\[M\d\d\] \u300c(.*)\u300d\r\n", paragraph)
        if not text:
            fail(f"readme_ja.txt [M{number}] does not quote a text in its first line")
            continue
        if text.group(1) not in messages:
            fail(f"readme_ja.txt [M{number}] quotes \u300c{text.group(1)}\u300d, which the plug-in never shows")
        if text.group(1) in quoted:
            fail(f"readme_ja.txt quotes \u300c{text.group(1)}\u300d twice")
        quoted[text.group(1)] = number
        for caption in re.findall("\u30bf\u30a4\u30c8\u30eb\u300c(.*?)\u300d", paragraph):
            if caption not in captions:
                fail(f"readme_ja.txt [M{number}] gives the caption {caption}, which the plug-in never shows")
    for text, name in messages.items():
        if text not in quoted:
            fail(f"readme_ja.txt does not list {name} \u300c{text}\u300d")
    shown_captions = set(re.findall("\u30bf\u30a4\u30c8\u30eb\u300c(.*?)\u300d", ja))
    if shown_captions != captions:
        fail(f"readme_ja.txt names the captions {sorted(shown_captions)}, the plug-in has {sorted(captions)}")

    en_entries = entries(en)
    if set(en_entries) != set(ja_entries):
        fail(f"readme_en.txt numbers {sorted(en_entries)} differ from readme_ja.txt's {sorted(ja_entries)}")
    for text, number in quoted.items():
        for word in re.findall(r"[A-Za-z0-9]{3,}", text):
            if word not in en_entries.get(number, ""):
                fail(f"readme_en.txt [M{number}] does not name {word}, which its box shows")

    report_failures()
    print(f"check_windows_package: {path} ok ({len(messages)} message texts, {len(captions)} captions, "
          f"{len(tracks)} track names, version {version})")


if __name__ == "__main__":
    main()
