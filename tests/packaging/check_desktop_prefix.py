#!/usr/bin/env python3
"""Installs the Runtime component into prefixes whose paths hold the characters a desktop entry
escapes, and reads the installed entry and thumbnailer back by the rules desktops read them with.

usage: check_desktop_prefix.py CMAKE BUILD_DIR WORK_DIR

Exec's program must be the installed bin/facemask and Path the installed data folder, whatever
the prefix's name; desktop-file-validate, where installed, must accept the entry. The
thumbnailer's TryExec and Exec must name the installed bin/facemask-cli by its whole path, since a
file manager's PATH need not hold the prefix. The prefixes are installed at once, as tests that
install run beside each other under ctest -j.
"""

import os
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

PREFIX_NAMES = [
    "plain",
    "with space and \u00e9",
    "percent %f 100%",
    "dollar $HOME",
    'double "quote"',
    "back`tick`",
]

STRING_ESCAPES = {"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}


def unescape_string(value):
    """The general escapes of a string value (\\s, \\n, \\t, \\r, \\\\)."""
    out, i = [], 0
    while i < len(value):
        if value[i] == "\\" and i + 1 < len(value) and value[i + 1] in STRING_ESCAPES:
            out.append(STRING_ESCAPES[value[i + 1]])
            i += 2
        else:
            out.append(value[i])
            i += 1
    return "".join(out)


def split_exec(value):
    """Exec's arguments: double-quoted ones with \\", \\`, \\$ and \\\\ escaped; %% is a %.
    Field codes (%f and the like) are kept as written."""
    words, word, quoted, in_word, i = [], [], False, False, 0
    while i < len(value):
        c = value[i]
        if quoted:
            if c == "\\" and i + 1 < len(value) and value[i + 1] in '"`$\\':
                word.append(value[i + 1])
                i += 1
            elif c == '"':
                quoted = False
            elif c in '`$\\':
                raise ValueError(f"unescaped {c!r} inside quotes in {value!r}")
            else:
                word.append(c)
        elif c == '"':
            quoted, in_word = True, True
        elif c == " ":
            if in_word:
                words.append("".join(word))
                word, in_word = [], False
        else:
            word.append(c)
            in_word = True
        i += 1
    if quoted:
        raise ValueError(f"an open quote in {value!r}")
    if in_word:
        words.append("".join(word))
    result = []
    for w in words:
        if len(w) == 2 and w[0] == "%":
            result.append(w)
            continue
        if "%" in w.replace("%%", ""):
            raise ValueError(f"a lone % in the argument {w!r}")
        result.append(w.replace("%%", "%"))
    return result


def read_entry(path):
    entry = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if "=" in line and not line.startswith(("#", "[")):
                key, value = line.split("=", 1)
                entry[key.strip()] = value.lstrip()
    return entry


def check(cmake, build_dir, prefix):
    done = subprocess.run([cmake, "--install", build_dir, "--component", "Runtime", "--prefix", prefix],
                          capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        return f"cmake --install failed: {done.stdout}{done.stderr}"
    desktop_file = os.path.join(prefix, "share", "applications", "facemask.desktop")
    entry = read_entry(desktop_file)
    if "Exec" not in entry or "Path" not in entry:
        return f"no Exec or no Path in {desktop_file}: {entry!r}"
    try:
        command = split_exec(unescape_string(entry["Exec"]))
    except ValueError as error:
        return f"Exec={entry['Exec']}: {error}"
    program = os.path.join(prefix, "bin", "facemask")
    if command != [program, "%f"]:
        return f"Exec={entry['Exec']} reads as {command!r}, not [{program!r}, '%f']"
    data_dir = unescape_string(entry["Path"])
    if data_dir != os.path.join(prefix, "share", "facemask"):
        return f"Path={entry['Path']} reads as {data_dir!r}"
    thumbnailer_file = os.path.join(prefix, "share", "thumbnailers", "facemask.thumbnailer")
    thumbnailer = read_entry(thumbnailer_file)
    cli = os.path.join(prefix, "bin", "facemask-cli")
    if unescape_string(thumbnailer.get("TryExec", "")) != cli:
        return f"{thumbnailer_file}: TryExec={thumbnailer.get('TryExec')!r} is not {cli!r}"
    wanted = [cli, "thumbnail", "%i", "%o", "--size", "%s"]
    try:
        # File managers split it as a shell does after its %-codes are replaced; within double
        # quotes a shell takes the same escapes as a desktop entry's Exec.
        command = split_exec(unescape_string(thumbnailer.get("Exec", "")))
    except ValueError as error:
        return f"{thumbnailer_file}: Exec={thumbnailer.get('Exec')!r}: {error}"
    if command != wanted:
        return f"{thumbnailer_file}: Exec={thumbnailer.get('Exec')!r} reads as {command!r}, not {wanted!r}"
    validator = shutil.which("desktop-file-validate")
    if validator:
        done = subprocess.run([validator, desktop_file], capture_output=True, text=True)
        if done.returncode != 0 or done.stdout.strip():
            return f"desktop-file-validate: {done.stdout}{done.stderr}"
    return None


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    cmake, build_dir, work = sys.argv[1:]
    shutil.rmtree(work, ignore_errors=True)
    failures = 0
    with ThreadPoolExecutor(max_workers=len(PREFIX_NAMES)) as pool:
        results = list(pool.map(lambda name: check(cmake, build_dir, os.path.join(work, name)), PREFIX_NAMES))
    for name, failure in zip(PREFIX_NAMES, results):
        if failure:
            print(f"FAIL prefix {name!r}: {failure}")
            failures += 1
        else:
            print(f"PASS prefix {name!r}")
    shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
