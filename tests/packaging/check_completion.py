#!/usr/bin/env python3
"""Checks facemask-cli's bash completion against the options the program itself takes.

usage: check_completion.py BASH COMPLETION_FILE FACEMASK_CLI

The commands and the options of every command are read from the program's own --help texts
(the video form of preview from "preview PACKAGE clip.mp4 --help"). The completion file is
sourced in bash and its function is called with COMP_WORDS as bash splits a command line (a
"=" is a word of its own): after the program's name it must offer every command and the
program's own options; after "COMMAND -" every option of that command and nothing else; after
an option that takes a value, no option names; after --type and --format, given as
"--type VALUE" or "--type=VALUE", the values the program accepts.
"""

import re
import subprocess
import sys

OPTION = re.compile(r"^  (-\S.*?)(?:  |$)")


def help_text(cli, arguments):
    done = subprocess.run([cli, *arguments, "--help"], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{cli} {' '.join(arguments)} --help failed ({done.returncode}): {done.stderr}")
    return done.stdout


def options_of(text):
    """Every option name of a --help text, and those that take a value ("-o, --out <OUT.pmk>")."""
    names, valued = set(), set()
    section = None
    for line in text.splitlines():
        if line and not line.startswith(" "):
            section = line
            continue
        match = OPTION.match(line) if section == "Options:" else None
        if not match:
            continue
        signature = match.group(1)
        takes_value = "<" in signature
        for name in signature.split("<")[0].replace(",", " ").split():
            names.add(name)
            if takes_value:
                valued.add(name)
    return names, valued


def commands_of(text):
    commands, inside = [], False
    for line in text.splitlines():
        if line == "Commands:":
            inside = True
        elif inside and line.startswith("  "):
            commands.append(line.split()[0])
        elif inside:
            break
    return commands


def split_like_bash(line):
    """COMP_WORDS for a command line: words at blanks, and "=" (of COMP_WORDBREAKS) on its own."""
    words = []
    for word in line.split(" "):
        parts = [part for part in re.split(r"(=)", word) if part]
        words.extend(parts or [""])
    return words


def completions(bash, completion_file, line):
    words = split_like_bash(line)
    script = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); '
              'COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}; _facemask_cli; '
              'printf "%s\\n" "${COMPREPLY[@]}"')
    done = subprocess.run([bash, "--norc", "--noprofile", "-c", script, "completion", completion_file, *words],
                          capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"the completion failed for {line!r}: {done.stderr}")
    return {word for word in done.stdout.splitlines() if word}


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    bash, completion_file, cli = sys.argv[1:]
    failures = []

    def expect(line, wanted, offered):
        if offered != wanted:
            failures.append(f"{line!r}: offers {sorted(offered)}, the program takes {sorted(wanted)}"
                            f" (missing {sorted(wanted - offered)}, unknown {sorted(offered - wanted)})")

    top = help_text(cli, [])
    commands = commands_of(top)
    if not commands:
        sys.exit(f"no commands in {cli} --help")
    top_options, _ = options_of(top)
    long_top = {name for name in top_options if name.startswith("--")}
    expect("facemask-cli ", set(commands) | long_top,
           completions(bash, completion_file, "facemask-cli "))

    forms = [(command, [command]) for command in commands]
    forms.append(("preview", ["preview", "a.pmk", "clip.mp4"]))
    for command, arguments in forms:
        names, valued = options_of(help_text(cli, arguments))
        if not names:
            sys.exit(f"no options in {cli} {' '.join(arguments)} --help")
        line = " ".join(["facemask-cli", *arguments, "-"])
        offered = completions(bash, completion_file, line)
        if command == "preview":
            # One list serves both forms: the picture's options and the video's.
            other = [a for c, a in forms if c == "preview" and a != arguments][0]
            names |= options_of(help_text(cli, other))[0]
        expect(line, names, offered)
        for option in sorted(valued):
            line = f"facemask-cli {command} {option} -"
            offered = completions(bash, completion_file, line)
            if offered:
                failures.append(f"{line!r}: {option} takes a value, but option names are offered: "
                                f"{sorted(offered)}")

    values = {("make", "--type"): {"face", "whole", "full"},
              ("detect", "--format"): {"text", "json", "pts", "dlib-xml"},
              ("points", "--format"): {"text", "json", "pts", "dlib-xml"}}
    for (command, option), wanted in values.items():
        # Each value offered is one the program takes: it runs to a usage error of another cause.
        for value in wanted:
            done = subprocess.run([cli, command, f"{option}={value}"], capture_output=True, text=True)
            if f"'{value}'" in done.stderr:
                failures.append(f"{command} {option}={value} is offered, but refused: {done.stderr.strip()}")
        for line, shown in ((f"facemask-cli {command} {option} ", wanted),
                            (f"facemask-cli {command} {option}=", wanted),
                            (f"facemask-cli {command} {option}=w", {v for v in wanted if v.startswith("w")}),
                            (f"facemask-cli {command} {option}=d", {v for v in wanted if v.startswith("d")})):
            expect(line, shown, completions(bash, completion_file, line))

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"the completion offers the {len(commands)} commands and every option each one takes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
