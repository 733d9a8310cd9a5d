#!/usr/bin/env python3
"""Starts an installed facemask the way a desktop menu does and sees it detect a face.

With --build-dir the build is first installed into --prefix with `cmake --install`; with
--desktop-file an existing installation (for example the Debian package's, under /usr) is used.
The desktop entry's Exec runs in the folder named by its Path key, under Xvfb; a face picture is
pasted and the landmark markers must appear, with no "Face detection module was not load" box.
"""

import argparse
import os
import shlex
import shutil
import subprocess
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2elib as E  # noqa: E402
from e2elib import E2EFailure, log  # noqa: E402


def read_desktop_entry(path):
    if not os.path.isfile(path):
        raise E2EFailure(f"no desktop entry at {path}")
    entry = {}
    in_main_group = False
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                in_main_group = line == "[Desktop Entry]"
            elif in_main_group and "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                entry[key.strip()] = value.strip()
    for key in ("Type", "Name", "Exec", "Path"):
        if key not in entry:
            raise E2EFailure(f"{path} has no {key} key")
    if entry["Type"] != "Application":
        raise E2EFailure(f"{path}: Type is {entry['Type']!r}")
    return entry


def command_of(exec_value):
    # Field codes (%f, %u, ...) stand for files handed over by the desktop; none are handed here.
    return [word for word in shlex.split(exec_value) if not (len(word) == 2 and word[0] == "%")]


def install(cmake, build_dir, prefix):
    shutil.rmtree(prefix, ignore_errors=True)
    done = subprocess.run([cmake, "--install", build_dir, "--prefix", prefix],
                          capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise E2EFailure(f"cmake --install failed:\n{done.stdout}\n{done.stderr}")
    log(f"installed into {prefix}")
    for root, _, files in sorted(os.walk(prefix)):
        for name in sorted(files):
            path = os.path.join(root, name)
            target = f" -> {os.readlink(path)}" if os.path.islink(path) else ""
            log(f"  {os.path.relpath(path, prefix)}{target}")


def check(desktop_file, testdata, artifacts):
    entry = read_desktop_entry(desktop_file)
    command = command_of(entry["Exec"])
    workdir = entry["Path"]
    log(f"desktop entry: Exec={entry['Exec']!r} Path={workdir!r}")
    if not os.path.isabs(command[0]) and shutil.which(command[0]) is None:
        raise E2EFailure(f"the program {command[0]!r} of Exec is not found")
    model = os.path.join(workdir, "shape_predictor.dat")
    if not os.path.isfile(model):
        raise E2EFailure(f"{model} does not lead to a file (is libdlib-data installed?)")
    log(f"{model} -> {os.path.realpath(model)} ({os.path.getsize(model)} bytes)")

    with E.Session(artifacts) as session:
        try:
            program = E.Program(session, command, workdir, os.path.join(artifacts, "program.log"))
            program.wait_main_window()
            clipboard = E.paste_picture(session, program,
                                        os.path.join(testdata, "faces", "astronaut.png"))
            started = time.monotonic()
            shot = E.wait_for_markers(session, program, timeout=60)
            session.keep(shot, "installed-program-markers")
            log(f"PASS the installed program drew {E.count_red(shot)} marker pixels "
                f"{time.monotonic() - started:.1f} s after Ctrl+V")
            time.sleep(1.0)
            E.fail_on_error_box(session, program, "looking at the detected face")
            session.stop(clipboard, "xclip")
            program.stop()
        except Exception as error:
            if not isinstance(error, E2EFailure):
                traceback.print_exc()
            E.fail(session, error)
            return 1
    log(f"installed program detects faces; screenshot in {artifacts}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--testdata", required=True)
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--desktop-file")
    parser.add_argument("--build-dir")
    parser.add_argument("--prefix")
    parser.add_argument("--cmake", default="cmake")
    args = parser.parse_args()

    shutil.rmtree(args.artifacts, ignore_errors=True)
    os.makedirs(args.artifacts)
    try:
        if args.build_dir:
            if not args.prefix:
                raise E2EFailure("--build-dir needs --prefix")
            install(args.cmake, args.build_dir, args.prefix)
            desktop_file = os.path.join(args.prefix, "share", "applications", "facemask.desktop")
        elif args.desktop_file:
            desktop_file = args.desktop_file
        else:
            raise E2EFailure("give --build-dir and --prefix, or --desktop-file")
        return check(desktop_file, args.testdata, args.artifacts)
    except E2EFailure as error:
        print(f"INSTALLED-TREE FAILURE: {error}", file=sys.stderr, flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
