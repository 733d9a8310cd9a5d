#!/usr/bin/env python3
"""Makes the Debian package of a build and has lintian check it.

usage: check_lintian.py CPACK CPackConfig.cmake WORK_DIR

The package is made with the build's own CPack configuration into WORK_DIR. Every error or
warning lintian reports fails the check; its notes (hardening and the like) are only printed.
The package must also carry its copyright file and a changelog whose latest entry is the
package's version, signed by the package's maintainer, whose mail address is no placeholder.
Exits 77 (skipped) where lintian or dpkg-deb is not installed.
"""

import glob
import gzip
import os
import re
import shutil
import subprocess
import sys

SKIPPED = 77


def control_field(deb, name):
    output = subprocess.run(["dpkg-deb", "--field", deb, name], check=True, capture_output=True,
                            text=True).stdout
    return output.strip()


def member(path, unpacked):
    """The bytes of ./path in the package, or None when it holds no such file."""
    full = os.path.join(unpacked, path)
    if not os.path.isfile(full):
        return None
    with open(full, "rb") as f:
        return f.read()


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    cpack, config, work = sys.argv[1:]
    if not shutil.which("lintian") or not shutil.which("dpkg-deb"):
        print("lintian or dpkg-deb is not installed: the package is not checked")
        return SKIPPED
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    done = subprocess.run([cpack, "-G", "DEB", "--config", config, "-B", work],
                          capture_output=True, text=True)
    debs = glob.glob(os.path.join(work, "*.deb"))
    if done.returncode != 0 or len(debs) != 1:
        print(done.stdout, done.stderr)
        sys.exit("cpack made no package")
    deb = debs[0]

    failures = []
    lint = subprocess.run(["lintian", "--display-info", "--no-tag-display-limit", deb], capture_output=True,
                          text=True)
    for line in lint.stdout.splitlines():
        print(line)
        if line.startswith(("E:", "W:")):
            failures.append(line)

    unpacked = os.path.join(work, "unpacked")
    subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
    package = control_field(deb, "Package")
    version = control_field(deb, "Version")
    maintainer = control_field(deb, "Maintainer")
    doc = f"usr/share/doc/{package}"
    if member(f"{doc}/copyright", unpacked) is None:
        failures.append(f"no /{doc}/copyright")
    changelog = member(f"{doc}/changelog.gz", unpacked)
    if changelog is None:
        failures.append(f"no /{doc}/changelog.gz")
    else:
        lines = gzip.decompress(changelog).decode("utf-8").splitlines()
        match = re.match(r"(\S+) \(([^)]+)\) ", lines[0])
        if not match or match.groups() != (package, version):
            failures.append(f"the changelog's latest entry {lines[0]!r} is not {package} {version}")
        signed = next((line for line in lines if line.startswith(" -- ")), "")
        if not signed.startswith(f" -- {maintainer}  "):
            failures.append(f"the changelog's latest entry is signed {signed!r}, not by {maintainer}")
    host = re.search(r"<[^@<>]+@([^<>]+)>$", maintainer)
    if not host or "." not in host.group(1) or host.group(1) == "localhost":
        failures.append(f"the maintainer {maintainer!r} has no mail address to write to")

    for failure in failures:
        print(f"FAIL {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
