#!/usr/bin/env python3
"""Checks that scripts/install-deps.sh installs every library file the build links against.

usage: check_build_depends.py INSTALL_DEPS_SH BUILD_DIR

The link lines of the build (link.txt of the Makefile generator, build.ninja of Ninja) name the
libraries' files; each file's package (dpkg -S) must be one that installing the script's
packages brings, with their dependencies (apt-cache depends --recurse, recommends left out, as
the script installs). Otherwise a fresh machine cannot link the programs. Files that no package
holds (a library of one's own) are listed and not counted.
"""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_depends import unlisted_packages  # noqa: E402

LIBRARY_FILE = re.compile(r"(?<![\w/.-])(/(?:usr/)?lib[\w/.+-]*/lib[\w.+-]+\.(?:so(?:\.[0-9.]+)?|a))(?![\w.])")


def script_packages(script):
    with open(script, encoding="utf-8") as f:
        text = f.read()
    match = re.search(r"^packages=\((.*?)^\)", text, re.MULTILINE | re.DOTALL)
    if not match:
        sys.exit(f"no packages=( ... ) list in {script}")
    names = []
    for line in match.group(1).splitlines():
        names.extend(line.split("#", 1)[0].split())
    return names


def installed_closure(packages):
    output = subprocess.run(
        ["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
         "--no-breaks", "--no-replaces", "--no-enhances", *packages],
        check=True, capture_output=True, text=True).stdout
    return {line.strip() for line in output.splitlines() if line and not line.startswith(" ")}


def linked_files(build_dir):
    files = set()
    for root, _, names in os.walk(build_dir):
        for name in names:
            if name in ("link.txt", "build.ninja"):
                with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
                    files.update(LIBRARY_FILE.findall(f.read()))
    return files


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    closure = installed_closure(script_packages(sys.argv[1]))
    files = linked_files(sys.argv[2])
    if not files:
        sys.exit(f"no link lines with system libraries under {sys.argv[2]}")
    missing = unlisted_packages(((path, path) for path in files), closure)
    for package, paths in sorted(missing.items()):
        print(f"FAIL: {package} is not installed by install-deps.sh, but holds {', '.join(paths)}")
    if missing:
        return 1
    print(f"every one of {len(files)} library files the build links comes from install-deps.sh")
    return 0


if __name__ == "__main__":
    sys.exit(main())
