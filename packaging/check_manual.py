#!/usr/bin/env python3
"""Checks the manual page against quenda's own help.

    check_manual.py QUENDA QUENDA.1 [COMPLETION]

- The commands under COMMANDS are the ones `quenda --help` lists.
- For quenda and each command, the options under OPTIONS (the "General
  options" and "COMMAND options" subsections) are the ones its --help lists:
  an option in one and not the other fails, whichever side it is missing from.
- Where --help shows an option's default and range ("[3, 0 to 16; ...]", the
  plug-in's track bars), the page's entry gives the same ("0 to 16", "default 3").
- The page's title names the version that `quenda --version` prints.
- groff renders the page without a warning (`groff -man -ww -z`), where groff
  is installed.
- The bash completion, where given and bash is installed, offers the same
  commands and options (it reads them from the help; this checks that it
  still can).
"""

import os
import re
import shutil
import subprocess
import sys

HELP_OPTIONS = {"-h", "--help"}


def run_help(quenda, command):
    args = [quenda] + ([command] if command else []) + ["--help"]
    result = subprocess.run(args, capture_output=True, text=True, timeout=60)
    if result.returncode != 0:
        sys.exit(f"{' '.join(args)} failed with status {result.returncode}:\n{result.stderr}")
    return result.stdout


def parse_help(text):
    """The options of a help text, each with its description, and the
    subcommands it lists."""
    options = {}
    subcommands = []
    section = None
    current = None
    for line in text.splitlines():
        if re.match(r"^\S.*:$", line):
            section = line[:-1]
            current = None
            continue
        if section == "Options":
            match = re.match(r"^  (-\S+)(.*)$", line)
            if match:
                current = match.group(1).split(",")
                for name in current:
                    options[name] = match.group(2)
            elif current and re.match(r"^ {4,}\S", line):
                for name in current:
                    options[name] += " " + line.strip()
        elif section == "Subcommands":
            match = re.match(r"^  ([a-z][a-z-]*)\s", line)
            if match:
                subcommands.append(match.group(1))
    return options, subcommands


def plain(roff):
    """Text of a roff line without its macro, font changes and escapes."""
    roff = re.sub(r"^\.\w+\s*", "", roff)
    roff = re.sub(r"\\f[BIRP]", "", roff)
    roff = roff.replace("\\-", "-").replace('"', "")
    roff = re.sub(r"\\\(\w\w", " ", roff)
    return roff.replace("\\ ", " ").replace("\\e", "\\")


def parse_manual(path, commands):
    """The commands under COMMANDS, and per command ("" for quenda itself)
    the options under OPTIONS with the text of their entries."""
    listed = []
    options = {}
    section = subsection = None
    entry = None
    after_tp = False
    with open(path, encoding="utf-8") as page:
        lines = page.read().splitlines()
    for line in lines:
        if line.startswith(".SH"):
            section = line[3:].strip().strip('"')
            subsection = None
            entry = None
            continue
        if line.startswith(".SS"):
            title = line[3:].strip().strip('"')
            word = title.split()[0]
            subsection = "" if title == "General options" else word if word in commands else None
            if subsection is None:
                sys.exit(f"{path}: subsection {title!r} under OPTIONS names no command of quenda")
            options.setdefault(subsection, {})
            entry = None
            continue
        if line.startswith(".TP"):
            after_tp = True
            continue
        if after_tp:
            after_tp = False
            text = plain(line)
            if section == "COMMANDS":
                listed.append(text.split()[0])
            elif section == "OPTIONS" and subsection is not None:
                names = re.findall(r"(?<![\w-])(--?[A-Za-z][\w-]*)", text)
                if not names:
                    sys.exit(f"{path}: an entry under OPTIONS names no option: {line}")
                entry = []
                for name in names:
                    options[subsection][name] = entry
            continue
        if entry is not None and not line.startswith(".\\\""):
            entry.append(plain(line))
    return listed, {key: {name: " ".join(text) for name, text in entries.items()}
                    for key, entries in options.items()}


def completion_words(completion, quenda, words, typed=None, home=None):
    """What the completion offers for quenda's words, the command typed as
    `typed` (default: quenda's path) with HOME set to `home` where given."""
    script = (
        f'source "$1"; COMP_WORDS=("$2" {" ".join(f"{w!r}" for w in words)}); '
        'COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _quenda; printf "%s\\n" "${COMPREPLY[@]}"'
    )
    environment = dict(os.environ, **({"HOME": home} if home else {}))
    result = subprocess.run(["bash", "-c", script, "bash", completion, typed or quenda],
                            capture_output=True, text=True, timeout=120, env=environment)
    if result.returncode != 0:
        sys.exit(f"the completion failed for {words}: {result.stderr}")
    return {word for word in result.stdout.split("\n") if word}


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    quenda, manual = sys.argv[1], sys.argv[2]
    completion = sys.argv[3] if len(sys.argv) == 4 else None
    problems = []

    top_options, commands = parse_help(run_help(quenda, None))
    if not commands:
        sys.exit("quenda --help lists no commands")
    helps = {"": top_options}
    for command in commands:
        helps[command] = parse_help(run_help(quenda, command))[0]

    listed, manual_options = parse_manual(manual, commands)
    for command in sorted(set(commands) - set(listed)):
        problems.append(f"command {command}: in quenda --help, not under COMMANDS in the manual page")
    for command in sorted(set(listed) - set(commands)):
        problems.append(f"command {command}: under COMMANDS in the manual page, not in quenda --help")

    for command, options in helps.items():
        where = f"quenda {command} --help".replace("  ", " ")
        shown = set(options) - (HELP_OPTIONS if command else set())
        documented = manual_options.get(command, {})
        heading = f'"{command} options"' if command else '"General options"'
        for name in sorted(shown - set(documented)):
            problems.append(f"{name}: in {where}, not under {heading} in the manual page")
        for name in sorted(set(documented) - shown):
            problems.append(f"{name}: under {heading} in the manual page, not in {where}")
        for name in sorted(shown & set(documented)):
            track = re.search(r"\[(\d+), (\d+) to (\d+);", options[name])
            if not track:
                continue
            default, low, high = track.groups()
            for wanted in (f"{low} to {high}", f"default {default}"):
                if wanted not in documented[name]:
                    problems.append(f"{name}: {where} gives {track.group(0)[1:-1]}, "
                                    f"the manual page's entry lacks \"{wanted}\"")

    version = subprocess.run([quenda, "--version"], capture_output=True, text=True, timeout=60).stdout
    version = version.split("\n")[0].removeprefix("quenda ").strip()
    with open(manual, encoding="utf-8") as page:
        title = next((line for line in page if line.startswith(".TH ")), "")
    if f'"Quenda {version}"' not in title:
        problems.append(f"the page's title {title.strip()!r} does not name Quenda {version}, which quenda --version prints")

    if shutil.which("groff"):
        result = subprocess.run(["groff", "-man", "-ww", "-z", manual], capture_output=True, text=True)
        if result.returncode != 0 or result.stderr.strip():
            problems.append(f"groff -man -ww -z warns:\n{result.stderr}")
    else:
        print("groff is not installed: the page's rendering is not checked")

    if completion and shutil.which("bash"):
        offered = completion_words(completion, quenda, [""])
        if offered != set(commands):
            problems.append(f"the completion offers the commands {sorted(offered)}, not {commands}")
        for command, options in helps.items():
            offered = completion_words(completion, quenda, ([command] if command else []) + ["-"])
            if offered != set(options):
                problems.append(f"the completion offers {sorted(offered)} for quenda {command}, "
                                f"not {sorted(options)}")
        # The value after =, nothing but file names after --, and quenda typed with ~.
        home, name = os.path.split(os.path.dirname(os.path.abspath(quenda)))
        cases = [
            (["denoise", "--audio", "=", ""], None, None, {"copy", "transcode", "drop"}),
            (["denoise", "--audio", "=", "tr"], None, None, {"transcode"}),
            (["denoise", "--", "-"], None, None, set()),
            (["denoise", "--qu"], f"~/{name}/{os.path.basename(quenda)}", home, {"--quiet"}),
        ]
        for words, typed, home_folder, wanted in cases:
            offered = completion_words(completion, quenda, words, typed, home_folder)
            if offered != wanted:
                problems.append(f"the completion offers {sorted(offered)} for {typed or 'quenda'} "
                                f"{' '.join(words)}, not {sorted(wanted)}")

    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"{manual}: {len(commands)} commands and "
          f"{sum(len(set(o) - HELP_OPTIONS) for o in helps.values())} options agree with --help")
    return 0


if __name__ == "__main__":
    sys.exit(main())
