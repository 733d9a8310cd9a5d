#!/usr/bin/env python3
"""Checks that the Debian package names every package whose libraries the programs load.

usage: check_depends.py CPackConfig.cmake PROGRAM...

Each library a program names (readelf's NEEDED entries), where ldd resolves it, is traced to the Debian package that holds it
(dpkg -S, also through /usr and through the link's target, since merged /usr and alternatives
give libraries paths that dpkg does not list). A package that is not named in the Depends field,
alone or as one of a choice ("a | b"), is reported: on a machine without it the program would
not start. Libraries that no package holds (a build of one's own) are listed and not counted.
"""

import os
import re
import subprocess
import sys


def depends_field(cpack_config):
    with open(cpack_config, encoding="utf-8") as f:
        text = f.read()
    match = re.search(r'set\(CPACK_DEBIAN_PACKAGE_DEPENDS "([^"]*)"\)', text)
    if not match:
        sys.exit(f"no CPACK_DEBIAN_PACKAGE_DEPENDS in {cpack_config}")
    named = set()
    for relation in match.group(1).split(","):
        for choice in relation.split("|"):
            name = choice.strip().split(" ")[0].split("(")[0]
            if name:
                named.add(name)
    return named


def loaded_libraries(program):
    """The libraries the program names itself (its NEEDED entries), where ldd finds them; the
    libraries those load are their own packages' dependencies."""
    dynamic = subprocess.run(["readelf", "-d", program], check=True, capture_output=True,
                             text=True).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic))
    output = subprocess.run(["ldd", program], check=True, capture_output=True, text=True).stdout
    libraries = []
    for line in output.splitlines():
        match = re.match(r"\s*(\S+) => (/\S+)", line)
        if match and match.group(1) in needed:
            libraries.append((match.group(1), match.group(2)))
    return libraries


def owning_package(path):
    candidates = [path, "/usr" + path if not path.startswith("/usr/") else path[4:],
                  os.path.realpath(path)]
    for candidate in candidates:
        result = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True, text=True)
        if result.returncode == 0 and result.stdout:
            first = result.stdout.splitlines()[0]
            if ":" in first and not first.startswith("diversion"):
                return first.split(":")[0].split(",")[0].strip()
    return None


def unlisted_packages(found, allowed):
    """Sorts (path, label) pairs by the package that holds path: prints the paths no package
    holds, and returns {package: sorted labels} for the packages not in allowed."""
    missing = {}
    unowned = set()
    for path, label in found:
        package = owning_package(path)
        if package is None:
            unowned.add(path)
        elif package not in allowed:
            missing.setdefault(package, set()).add(label)
    for path in sorted(unowned):
        print(f"not from a package, not checked: {path}")
    return {package: sorted(labels) for package, labels in missing.items()}


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    named = depends_field(sys.argv[1])
    found = [(path, f"{os.path.basename(program)}: {soname}")
             for program in sys.argv[2:] for soname, path in loaded_libraries(program)]
    missing = unlisted_packages(found, named)
    for package, users in sorted(missing.items()):
        print(f"FAIL: {package} is not in Depends, but holds {', '.join(users)}")
    if missing:
        return 1
    print(f"every library of {len(sys.argv) - 2} programs comes from a package in Depends")
    return 0


if __name__ == "__main__":
    sys.exit(main())
