#!/usr/bin/env python3
"""Starts an installed facemask the way a desktop menu does and sees it detect a face.

With --build-dir the build is first installed into --prefix with `cmake --install`; with
--desktop-file an existing installation (for example the Debian package's, under /usr) is used.
The desktop entry's Exec runs in the folder named by its Path key (the installed data folder), under
Xvfb. The program must leave that folder for the user's home, where its file dialogs then open,
and still find its landmark model in the data folder: a face picture is pasted and the landmark
markers must appear, with no "Face detection module was not load" box.
Then a package is opened the way a file manager does, through the entry's %f, and its points
must be shown; last, the program started with HOME unset must work from the account's home.
Before that, the desktop integration is checked: the package MIME type (which xdg-mime must
report for a .pmk file), the icon and the AppStream description.
"""

import argparse
import gzip
import json
import math
import os
import pwd
import shlex
import shutil
import subprocess
import sys
import time
import traceback
import xml.etree.ElementTree as ElementTree
import zipfile

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


PACKAGE_TYPE = "application/x-facemask-package"
MIME_NAMESPACE = "{http://www.freedesktop.org/standards/shared-mime-info}"


def command_of(exec_value, file_path=None):
    """The command of Exec; %f becomes file_path, or goes when no file is handed over."""
    command = []
    for word in shlex.split(exec_value):
        if word == "%f" and file_path:
            command.append(file_path)
        elif not (len(word) == 2 and word[0] == "%"):
            command.append(word)
    return command


def run_tool(command, env=None):
    done = subprocess.run(command, capture_output=True, text=True, timeout=60, env=env)
    output = (done.stdout + done.stderr).strip()
    log(f"$ {' '.join(command)} -> {done.returncode}" + (f"\n{output}" if output else ""))
    return done.returncode, output


def check_mime_definition(share):
    path = os.path.join(share, "mime", "packages", "facemask.xml")
    if not os.path.isfile(path):
        raise E2EFailure(f"no MIME type definition at {path}")
    types = ElementTree.parse(path).getroot().findall(MIME_NAMESPACE + "mime-type")
    found = [t for t in types if t.get("type") == PACKAGE_TYPE]
    if not found:
        raise E2EFailure(f"{path} defines no {PACKAGE_TYPE}")
    definition = found[0]
    globs = [g.get("pattern") for g in definition.findall(MIME_NAMESPACE + "glob")]
    parents = [p.get("type") for p in definition.findall(MIME_NAMESPACE + "sub-class-of")]
    comments = [c.text for c in definition.findall(MIME_NAMESPACE + "comment") if c.text]
    if "*.pmk" not in globs or "application/zip" not in parents or not comments:
        raise E2EFailure(f"{PACKAGE_TYPE}: globs {globs}, parents {parents}, comments {comments}")
    log(f"PASS {PACKAGE_TYPE}: {comments[0]!r}, glob *.pmk, sub-class of application/zip")


def check_mime_lookup(share, package, compile_database):
    """xdg-mime must name the package type for a .pmk file, from the installed definition."""
    mime_dir = os.path.join(share, "mime")
    if compile_database:
        code, output = run_tool(["update-mime-database", mime_dir])
        if code != 0:
            raise E2EFailure(f"update-mime-database failed: {output}")
    with open(os.path.join(mime_dir, "globs2"), encoding="utf-8") as f:
        if not any(line.strip() == f"50:{PACKAGE_TYPE}:*.pmk" for line in f):
            raise E2EFailure(f"the compiled database in {mime_dir} has no *.pmk glob")
    # xdg-mime hands the question to the desktop's own tool; GNOME's (gio) reads the
    # shared-mime-info database of XDG_DATA_DIRS, which the generic fallback (file) does not.
    environment = dict(os.environ, XDG_CURRENT_DESKTOP="GNOME",
                       XDG_DATA_DIRS=f"{share}:/usr/share",
                       XDG_DATA_HOME=os.path.join(os.path.dirname(package), "no-data-home"))
    code, output = run_tool(["xdg-mime", "query", "filetype", package], env=environment)
    if code != 0 or output.splitlines()[-1:] != [PACKAGE_TYPE]:
        raise E2EFailure(f"xdg-mime query filetype says {output!r} for {package}")
    log(f"PASS xdg-mime query filetype {os.path.basename(package)}: {PACKAGE_TYPE}")


def check_icon_and_metainfo(share, entry, desktop_file):
    icon = os.path.join(share, "icons", "hicolor", "scalable", "apps", entry.get("Icon", "") + ".svg")
    if not os.path.isfile(icon) or not ElementTree.parse(icon).getroot().tag.endswith("svg"):
        raise E2EFailure(f"the entry's Icon={entry.get('Icon')!r} has no SVG at {icon}")
    log(f"PASS icon {os.path.relpath(icon, share)}")
    metainfo_dir = os.path.join(share, "metainfo")
    names = sorted(n for n in os.listdir(metainfo_dir) if n.endswith(".metainfo.xml")) \
        if os.path.isdir(metainfo_dir) else []
    ours = [n for n in names
            if ElementTree.parse(os.path.join(metainfo_dir, n)).getroot().findtext("launchable")
            == os.path.basename(desktop_file)]
    if not ours:
        raise E2EFailure(f"no metainfo in {metainfo_dir} launches {os.path.basename(desktop_file)}")
    code, output = run_tool(["appstreamcli", "validate", "--no-net", os.path.join(metainfo_dir, ours[0])])
    if code != 0:
        raise E2EFailure(f"appstreamcli validate failed: {output}")
    code, output = run_tool(["desktop-file-validate", desktop_file])
    if code != 0 or output:
        raise E2EFailure(f"desktop-file-validate: {output}")
    mime_types = entry.get("MimeType", "").split(";")
    for wanted in (PACKAGE_TYPE, "image/png", "image/jpeg"):
        if wanted not in mime_types:
            raise E2EFailure(f"the desktop entry's MimeType lacks {wanted}: {entry.get('MimeType')!r}")
    if "%f" not in shlex.split(entry["Exec"]):
        raise E2EFailure(f"the desktop entry's Exec takes no file: {entry['Exec']!r}")
    log(f"PASS metainfo {ours[0]}, desktop entry MimeType and Exec %f")


def check_man_pages(share):
    """Both programs' pages, gzip-compressed as Debian installs them, with no time or name in
    the gzip header, so that two builds give the same bytes."""
    for program in ("facemask", "facemask-cli"):
        path = os.path.join(share, "man", "man1", program + ".1.gz")
        if not os.path.isfile(path):
            raise E2EFailure(f"no compressed man page at {path}")
        with open(path, "rb") as f:
            header = f.read(10)
        if header[:3] != b"\x1f\x8b\x08" or header[3] & 0x08 or header[4:8] != b"\0\0\0\0":
            raise E2EFailure(f"{path}: the gzip header carries a name or a time: {header!r}")
        with gzip.open(path, "rt", encoding="utf-8") as f:
            first = f.readline()
        if not first.startswith(".TH " + program.upper() + " 1"):
            raise E2EFailure(f"{path} starts with {first!r}")
    log("PASS man pages facemask.1.gz and facemask-cli.1.gz")


THUMBNAILER_ARGUMENTS = ["thumbnail", "%i", "%o", "--size", "%s"]


def check_thumbnailer(share, package, artifacts):
    """The .thumbnailer file's keys, then its Exec run as a file manager runs it, with a PATH
    that does not hold the installation's bin folder."""
    path = os.path.join(share, "thumbnailers", "facemask.thumbnailer")
    if not os.path.isfile(path):
        raise E2EFailure(f"no thumbnailer at {path}")
    entry = {}
    group = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                group = line
            elif line and not line.startswith("#"):
                if "=" not in line or group != "[Thumbnailer Entry]":
                    raise E2EFailure(f"{path}: {line!r} is not a key of [Thumbnailer Entry]")
                key, value = line.split("=", 1)
                entry[key.strip()] = value.strip()
    if group is None or "Exec" not in entry:
        raise E2EFailure(f"{path} has no [Thumbnailer Entry] with an Exec key")
    program = os.path.join(os.path.dirname(share), "bin", "facemask-cli")
    if shlex.split(entry["Exec"]) != [program] + THUMBNAILER_ARGUMENTS \
            or entry.get("TryExec") != program:
        raise E2EFailure(f"{path}: TryExec is {entry.get('TryExec')!r}, Exec is {entry['Exec']!r}")
    if PACKAGE_TYPE not in entry.get("MimeType", "").split(";"):
        raise E2EFailure(f"{path}: MimeType lacks {PACKAGE_TYPE}: {entry.get('MimeType')!r}")
    output = os.path.join(artifacts, "thumbnail.png")
    substitutions = {"%i": package, "%o": output, "%s": "128"}
    command = [substitutions.get(word, word) for word in shlex.split(entry["Exec"])]
    code, text = run_tool(command, env=dict(os.environ, PATH="/nonexistent"))
    if code != 0 or not os.path.isfile(output):
        raise E2EFailure(f"the thumbnailer's command failed ({code}): {text}")
    with open(output, "rb") as f:
        header = f.read(24)
    width, height = int.from_bytes(header[16:20], "big"), int.from_bytes(header[20:24], "big")
    if not header.startswith(b"\x89PNG") or (width, height) != (128, 96):
        raise E2EFailure(f"the thumbnail is not a 128 x 96 PNG: {header!r}")
    log(f"PASS thumbnailer {os.path.basename(path)}: keys, and a {width} x {height} PNG of a package")


def write_package(path, picture_path):
    """A package of 75 points on a ring over a grey picture, as the program writes one."""
    E.write_grey_png(picture_path, 320, 240)
    pivots = []
    for i in range(75):
        angle = 2 * math.pi * i / 75
        pivots.append({"x": 0.5 + 0.3 * math.cos(angle), "y": 0.5 + 0.3 * math.sin(angle)})
    description = {"version": "2", "name": "Ring", "author": "e2e", "time": "01.02.2024",
                   "category": "Face Masks", "subcategory": "Face Masks",
                   "type": "face_modifications"}
    mask = {"face_mask_data": {"face_mask_image_format": "png",
                               "face_mask_image_path": "images/main/image.png",
                               "mask_data": {"mask_pivots": pivots}}}
    with open(picture_path, "rb") as f:
        picture = f.read()
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("effect.json", json.dumps(description))
        archive.writestr("properties.json", json.dumps(mask))
        archive.writestr("images/main/image.png", picture)


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


def open_package_from_desktop(session, entry, workdir, package, artifacts):
    """Starts the entry's Exec with the package for %f, as a file manager does."""
    program = E.Program(session, command_of(entry["Exec"], package), workdir,
                        os.path.join(artifacts, "program-with-package.log"))
    window = program.wait_main_window()
    shot = E.wait_for_markers(session, program, timeout=30)
    session.keep(shot, "installed-program-opened-package")
    expected = f"{os.path.basename(package)} \u2014 facemask"
    E.wait_until(lambda: session.window_name(window) == expected, 10,
                 f"the title {expected!r}")
    log(f"PASS the package given as %f is shown: {E.count_red(shot)} marker pixels, "
        f"title {expected!r}")
    program.stop()


def check_without_home(session, command, workdir, artifacts):
    """Started with HOME unset (a service, some CI runners), the program works from the home
    folder the password database gives the account, as it does with HOME set, not from "/"."""
    environment = {k: v for k, v in session.env.items() if k != "HOME"}
    program = E.Program(session, command, workdir, os.path.join(artifacts, "program-without-home.log"),
                        env=environment)
    program.wait_main_window()
    home = os.path.realpath(pwd.getpwuid(os.getuid()).pw_dir)
    now_in = os.path.realpath(os.readlink(f"/proc/{program.process.pid}/cwd"))
    if now_in != home:
        raise E2EFailure(f"started with HOME unset, the program works in {now_in}, not in {home}")
    log(f"PASS started with HOME unset, the program works in {home}")
    program.stop()


def check(desktop_file, testdata, artifacts, compile_mime_database):
    entry = read_desktop_entry(desktop_file)
    share = os.path.dirname(os.path.dirname(os.path.abspath(desktop_file)))
    package = os.path.join(artifacts, "ring.pmk")
    write_package(package, os.path.join(artifacts, "ring-picture.png"))
    check_mime_definition(share)
    check_mime_lookup(share, package, compile_mime_database)
    check_icon_and_metainfo(share, entry, desktop_file)
    check_thumbnailer(share, package, artifacts)
    check_man_pages(share)
    command = command_of(entry["Exec"])
    workdir = entry["Path"]
    log(f"desktop entry: Exec={entry['Exec']!r} Path={workdir!r}")
    program_path = command[0] if os.path.isabs(command[0]) else shutil.which(command[0])
    if program_path is None:
        raise E2EFailure(f"the program {command[0]!r} of Exec is not found")
    model = os.path.join(os.path.dirname(os.path.realpath(program_path)), os.pardir, "share",
                         "facemask", "shape_predictor.dat")
    if not os.path.isfile(model):
        raise E2EFailure(f"{model} does not lead to a file (is libdlib-data installed?)")
    log(f"{model} -> {os.path.realpath(model)} ({os.path.getsize(model)} bytes)")

    with E.Session(artifacts) as session:
        try:
            program = E.Program(session, command, workdir, os.path.join(artifacts, "program.log"))
            program.wait_main_window()
            # The data folder is no place for the user's files: the program works from home,
            # and so must find its model without the folder it was started in.
            home = os.path.realpath(os.path.expanduser("~"))
            now_in = os.path.realpath(os.readlink(f"/proc/{program.process.pid}/cwd"))
            if now_in != home:
                raise E2EFailure(f"started in {workdir}, the program works in {now_in}, not in {home}")
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
            open_package_from_desktop(session, entry, workdir, package, artifacts)
            check_without_home(session, command, workdir, artifacts)
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
        # A database compiled into the system folders belongs to the system's own triggers.
        return check(desktop_file, args.testdata, args.artifacts, bool(args.build_dir))
    except E2EFailure as error:
        print(f"INSTALLED-TREE FAILURE: {error}", file=sys.stderr, flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
