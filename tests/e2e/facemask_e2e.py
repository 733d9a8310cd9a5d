#!/usr/bin/env python3
"""The program as a user meets it, driven from outside in a real X window.

First run: paste a face, wait for the markers, save a package, drag one marker, save again, and
check both packages with zipfile and json: exactly the dragged point moved, by the dragged
distance over the view size. Then zoom over an eye with Ctrl+wheel, drag a marker and save: only
that point moved, by the drag over the zoom. Second run: open the package again and compare the view with the
first run's; open broken packages and pictures and see the warning boxes, the program living on.
These runs use the stretched view (Keep Aspect Ratio off), which maps a point straight onto the
window's width. Third run, under a window manager: the first detection's time after start beside
facemask-cli's, Ctrl+V after a menu was closed with Escape, and a resized window remembered by
the next start.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2elib as E  # noqa: E402
from e2elib import E2EFailure, log  # noqa: E402

EFFECT_NAME = "Маска ёжика – café ñ"
MEMBERS = ["effect.json", "properties.json", "images/main/image.png",
           "images/thumbnail/small.jpg", "images/thumbnail/medium.jpg",
           "images/thumbnail/large.jpg"]
POINT_COUNT = 75


def step(text):
    log(f"STEP {text}")


def passed(text):
    log(f"PASS {text}")


class ViewRect:
    def __init__(self, left, top, width, height):
        self.left, self.top, self.width, self.height = left, top, width, height

    @property
    def region(self):
        return (self.left, self.top, self.left + self.width - 1, self.top + self.height - 1)

    def disc_centre(self, pivot):
        # A marker's disc is centred half a pixel past the truncated view position of its point.
        return (self.left + int(self.width * pivot[0]) + 0.5,
                self.top + int(self.height * pivot[1]) + 0.5)

    def __str__(self):
        return f"{self.width}x{self.height} at ({self.left}, {self.top})"


def find_view(empty, with_picture, window_width):
    """The view is where the picture appeared: the first band of rows that changed once the
    picture was in. The footer's detection line below it changes too, after a gap."""
    rows = E.changed_rows(empty, with_picture)
    if not rows:
        raise E2EFailure("the window looks the same before and after pasting the picture")
    top = bottom = rows[0]
    while bottom + 1 in rows:
        bottom += 1
    if bottom - top + 1 < len(rows) // 2:
        raise E2EFailure(f"the first band of changed rows ({top} to {bottom}) holds less than "
                         f"half of the {len(rows)} changed rows: {rows[:5]}...")
    columns = [x for x in range(empty.width)
               if any(empty.pixel(x, y) != with_picture.pixel(x, y) for y in (top, bottom))]
    if columns[0] != 0 or columns[-1] != window_width - 1:
        raise E2EFailure(f"the picture does not span the window's width: columns {columns[0]}"
                         f" to {columns[-1]} of {window_width}")
    return ViewRect(0, top, window_width, bottom - top + 1)


def read_package(path):
    """Members, properties document, effect document and pivots, checked for their shape."""
    if not os.path.isfile(path):
        raise E2EFailure(f"no package was written at {path}")
    with zipfile.ZipFile(path) as archive:
        bad = archive.testzip()
        if bad is not None:
            raise E2EFailure(f"{path}: member {bad} fails its CRC check")
        names = archive.namelist()
        if names != MEMBERS:
            raise E2EFailure(f"{path}: members {names}, expected {MEMBERS} in this order")
        properties = json.loads(archive.read("effect.json").decode("utf-8"))
        effect = json.loads(archive.read("properties.json").decode("utf-8"))
    pivots = effect["face_mask_data"]["mask_data"]["mask_pivots"]
    if len(pivots) != POINT_COUNT:
        raise E2EFailure(f"{path}: {len(pivots)} pivots, expected {POINT_COUNT}")
    return properties, effect, [(p["x"], p["y"]) for p in pivots]


def save_package(session, program, path, name):
    """Ctrl+S, "Whole image", the name, the author as offered, "Save", the path in the file
    dialog, confirmed."""
    session.focus(program.window)
    session.key("ctrl+s")
    dialog = program.wait_new_window("the save dialog")
    session.focus(dialog)
    # The radio buttons start with the checked one or the first focused; Up twice reaches the top
    # whichever it is, and Down checks "Whole image" (arrows move the check in an exclusive set).
    session.key("Up", "Up", "Down", "Tab")
    session.type_into_field(name)
    time.sleep(0.2)
    session.screenshot(dialog, "save-dialog-filled")
    session.key("Tab", "Tab", "space")  # past the author, Tab reaches "Save"; space presses it
    answer_file_dialog_after(session, program, dialog, path)
    session.wait_window_gone(dialog, "the save dialog")
    program.wait_only_main_window("every dialog to close after saving")
    E.fail_on_error_box(session, program, "saving")


def answer_file_dialog_after(session, program, save_dialog, path):
    file_dialog = E.wait_until(
        lambda: [w for w in program.other_windows() if w != save_dialog], 20,
        "the file dialog that asks for the package path")[0]
    E.type_path(session, file_dialog, path, "the file dialog of the save dialog")


def pick_marker(shot, view):
    """A marker disc with no other red around it, and a drag vector that keeps it in the view."""
    discs = E.isolated_discs(shot, view.region, margin=3)
    if not discs:
        raise E2EFailure("no marker disc stands apart from the others; cannot grab one safely")
    disc = min(discs, key=lambda c: (c["centre"][1], c["centre"][0]))
    cx, cy = disc["centre"]
    dx = 23 if cx + 23 + 10 < view.left + view.width else -23
    dy = -17 if cy - 17 - 10 > view.top else 17
    return disc, (dx, dy)


def nearest_pivot(view, pivots, centre):
    distances = [(abs(view.disc_centre(p)[0] - centre[0]) + abs(view.disc_centre(p)[1] - centre[1]), i)
                 for i, p in enumerate(pivots)]
    distance, index = min(distances)
    return index, distance


def first_run(session, args, work, artifacts):
    step("1: start the program, paste the face picture from the clipboard, press Ctrl+V")
    program = E.Program(session, [args.app], work, os.path.join(artifacts, "program-run1.log"))
    window = program.wait_main_window()
    session.click(window, *E.VIEW_PROBE)
    time.sleep(0.3)
    empty = session.screenshot(window, "run1-empty-window")
    x, y, width, height = session.geometry(window)
    clipboard = E.paste_picture(session, program, os.path.join(args.testdata, "faces", "astronaut.png"))

    step("2: wait for the landmark markers")
    started = time.monotonic()
    detected = E.wait_for_markers(session, program, timeout=60)
    session.keep(detected, "run1-markers")
    passed(f"markers drawn {time.monotonic() - started:.1f} s after Ctrl+V "
           f"({E.count_red(detected)} red pixels)")
    session.stop(clipboard, "xclip")
    view = find_view(empty, detected, width)
    log(f"view: {view} in a {width}x{height} window")

    step("4a: save a package before dragging (Ctrl+S, Whole image, name, Save, path)")
    before_path = os.path.join(work, "before drag.pmk")
    save_package(session, program, before_path, EFFECT_NAME)
    _, _, before = read_package(before_path)
    passed(f"package before the drag written: {before_path}")

    step("3: drag one marker by a known distance")
    disc, (dx, dy) = pick_marker(detected, view)
    index, distance = nearest_pivot(view, before, disc["centre"])
    if distance > 2.0:
        raise E2EFailure(f"the disc at {disc['centre']} lies {distance:.1f} px from the nearest "
                         f"saved point; the view {view} does not match the saved points")
    start = (round(disc["centre"][0]), round(disc["centre"][1]))
    end = (start[0] + dx, start[1] + dy)
    log(f"dragging point {index} from {start} to {end} (by {dx}, {dy})")
    session.drag(window, start, end)
    time.sleep(0.5)
    dragged_shot = session.screenshot(window, "run1-after-drag")
    moved_to = (disc["centre"][0] + dx, disc["centre"][1] + dy)
    near = [c for c in E.red_components(dragged_shot) if E.is_disc(c)
            and abs(c["centre"][0] - moved_to[0]) <= 1.5 and abs(c["centre"][1] - moved_to[1]) <= 1.5]
    if not near:
        raise E2EFailure(f"after the drag no marker disc is drawn at {moved_to}")
    passed(f"the marker is drawn at its new place {near[0]['centre']}")

    step("4b: save the package after the drag")
    after_path = os.path.join(work, "after drag.pmk")
    save_package(session, program, after_path, EFFECT_NAME)

    step("5: check the written package")
    properties, effect, after = read_package(after_path)
    if effect.get("need_extra_rect") is not True:
        raise E2EFailure(f'"need_extra_rect" is {effect.get("need_extra_rect")!r}, expected true '
                         '("Whole image")')
    if "stretch_extra_rect_on_whole_frame" in effect:
        raise E2EFailure('"stretch_extra_rect_on_whole_frame" is present for "Whole image"')
    if properties.get("name") != EFFECT_NAME:
        raise E2EFailure(f"the name is {properties.get('name')!r}, typed was {EFFECT_NAME!r}")
    moved = [i for i in range(POINT_COUNT) if before[i] != after[i]]
    if moved != [index]:
        raise E2EFailure(f"points {moved} moved, expected exactly point {index}")
    shift = ((after[index][0] - before[index][0]) * view.width,
             (after[index][1] - before[index][1]) * view.height)
    if abs(shift[0] - dx) > 1.0 or abs(shift[1] - dy) > 1.0:
        raise E2EFailure(f"point {index} moved by {shift[0]:.3f}, {shift[1]:.3f} view pixels, "
                         f"dragged by {dx}, {dy}")
    passed(f"six members in order, {POINT_COUNT} pivots, need_extra_rect true, name {EFFECT_NAME!r}, "
           f"only point {index} moved: by ({shift[0]:.3f}, {shift[1]:.3f}) view px for a drag of "
           f"({dx}, {dy}) in a {view.width}x{view.height} view")
    session.click(window, 5, view.top + view.height - 3)  # no marker there; keeps menus unhovered
    reference = session.screenshot(window)
    zoomed_drag(session, program, window, view, work, after)
    program.stop()
    return view, (width, height), reference, after_path, before_path


ZOOM_NOTCHES = 12
ZOOM_STEP = 1.25


def zoomed_drag(session, program, window, view, work, before):
    step("6: zoom with Ctrl+wheel over an eye, drag one marker, save")
    eye = 37  # upper lid of the first eye
    fx, fy = before[eye]
    cursor = (round(view.left + view.width * fx), round(view.top + view.height * fy))
    session.xdotool("mousemove", "--window", window, *cursor)
    time.sleep(0.2)
    session.xdotool("keydown", "ctrl")
    for _ in range(ZOOM_NOTCHES):
        session.xdotool("click", 4)
        time.sleep(0.05)
    session.xdotool("keyup", "ctrl")
    time.sleep(0.5)
    zoom = ZOOM_STEP ** ZOOM_NOTCHES
    zoomed = session.screenshot(window, "run1-zoomed-over-eye")

    # The picture point under the cursor stays there: every point moves away from it by zoom.
    def zoomed_position(pivot):
        vx, vy = view.left + view.width * pivot[0], view.top + view.height * pivot[1]
        return (cursor[0] + (vx - cursor[0]) * zoom, cursor[1] + (vy - cursor[1]) * zoom)

    ex, ey = zoomed_position(before[eye])
    others = [i for i in range(POINT_COUNT) if i != eye
              and abs(zoomed_position(before[i])[0] - ex) <= 14
              and abs(zoomed_position(before[i])[1] - ey) <= 14]
    if others:
        raise E2EFailure(f"at {zoom:.2f}x points {others} still crowd point {eye}")
    near = [c for c in E.red_components(zoomed) if E.is_disc(c)
            and abs(c["centre"][0] - (ex + 0.5)) <= 2.0 and abs(c["centre"][1] - (ey + 0.5)) <= 2.0]
    if not near:
        raise E2EFailure(f"after zooming no marker disc is drawn at ({ex:.1f}, {ey:.1f}) for point {eye}")
    passed(f"zoomed {zoom:.2f}x about {cursor}: point {eye} drawn at {near[0]['centre']}")

    dx, dy = 21, -14
    start = (round(ex), round(ey))
    session.drag(window, start, (start[0] + dx, start[1] + dy))
    time.sleep(0.5)
    session.keep(session.screenshot(window), "run1-zoomed-after-drag")
    path = os.path.join(work, "zoomed drag.pmk")
    save_package(session, program, path, EFFECT_NAME)
    _, _, after = read_package(path)
    moved = [i for i in range(POINT_COUNT) if before[i] != after[i]]
    if moved != [eye]:
        raise E2EFailure(f"points {moved} moved in the zoomed view, expected exactly point {eye}")
    shift = ((after[eye][0] - before[eye][0]) * view.width * zoom,
             (after[eye][1] - before[eye][1]) * view.height * zoom)
    if abs(shift[0] - dx) > 0.6 or abs(shift[1] - dy) > 0.6:
        raise E2EFailure(f"point {eye} moved by ({shift[0]:.3f}, {shift[1]:.3f}) zoomed view px, "
                         f"dragged by ({dx}, {dy})")
    passed(f"only point {eye} moved, by the drag over the zoom: ({shift[0]:.3f}, {shift[1]:.3f}) "
           f"zoomed px for a drag of ({dx}, {dy}) at {zoom:.2f}x")


def use_stretched_view(session):
    """The first two runs measure the view as the whole window's width: Keep Aspect Ratio off,
    written where the program reads its settings."""
    folder = os.path.join(session.env["XDG_CONFIG_HOME"], "facemask")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "facemask.conf"), "w") as f:
        f.write("[view]\nkeepAspectRatio=false\n")


def program_clock(program, step_name, wait_name):
    """Seconds the program logged for step_name since wait_name began (the last such line)."""
    program.log_file.flush()
    pattern = re.compile(r"facemask\.timing: +([0-9.]+) ms " + re.escape(step_name) +
                         r" \(since " + re.escape(wait_name) + r"\)")
    with open(program.log_path, encoding="utf-8", errors="replace") as f:
        found = pattern.findall(f.read())
    if not found:
        raise E2EFailure(f'the program logged no "{step_name}" after a {wait_name}')
    return float(found[-1]) / 1000.0


def workspace_run(session, args, work):
    step("8: under a window manager: time the first detection after start, beside facemask-cli")
    manager = session.spawn(["openbox", "--sm-disable"], name="openbox",
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    log_path = os.path.join(session.artifacts_dir, "program-run3.log")
    # The program's own clock of the wait, beside the screenshots' (which poll every 0.3 s and
    # need two equal shots, so they see the markers later than the user does).
    timed = dict(session.env, QT_LOGGING_RULES="facemask.timing=true")
    program = E.Program(session, [args.app], work, log_path, env=timed)
    window = program.wait_main_window()
    time.sleep(2.0)
    picture = os.path.join(args.testdata, "faces", "astronaut.png")
    clipboard = E.paste_picture(session, program, picture)
    pasted = time.monotonic()
    E.wait_for_markers(session, program, timeout=60, interval=0.02)
    window_seconds = program.markers_first_seen - pasted
    session.stop(clipboard, "xclip")
    painted = program_clock(program, "markers painted", "paste")
    cli = os.path.join(os.path.dirname(os.path.abspath(args.app)), "facemask-cli")
    cli_runs = []
    for _ in range(3):
        started = time.monotonic()
        done = subprocess.run([cli, "detect", picture], cwd=work, capture_output=True, timeout=120)
        cli_runs.append(time.monotonic() - started)
        if done.returncode != 0:
            raise E2EFailure(f"facemask-cli detect failed ({done.returncode}): {done.stderr.decode()}")
    cli_seconds = sorted(cli_runs)[1]
    passed(f"first detection after start (pasted 2 s after start): the window's own clock "
           f"{painted:.3f} s from Ctrl+V to the markers painted, the first screenshot showing "
           f"them began {window_seconds:.2f} s after xdotool's Ctrl+V; facemask-cli detect {cli_seconds:.3f} s for the same picture "
           f"(whole process, warm, median of 3); ratio {painted / cli_seconds:.2f} "
           f"(screenshots {window_seconds / cli_seconds:.2f})")

    step("9: open the File menu, close it with Escape, paste: the picture comes in")
    before = session.screenshot(window, "run3-before-menu")
    session.click(window, 15, 10)
    E.wait_until(lambda: program.other_windows(), 10, 'the "File" menu to open')
    session.keep_screen("run3-file-menu-open")
    session.key("Escape")
    E.wait_until(lambda: not program.other_windows(), 10, 'the "File" menu to close')
    second = os.path.join(args.testdata, "faces", "chelsea.png")
    clipboard = session.spawn(["xclip", "-quiet", "-selection", "clipboard", "-t", "image/png",
                               "-i", second], name="xclip",
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    E.wait_until(lambda: b"image/png" in session.x("xclip", "-selection", "clipboard", "-o", "-t",
                                                    "TARGETS", check=False).stdout,
                 10, "the clipboard to offer image/png")
    session.key("ctrl+v")
    # Points are shown, so the window asks whether to detect again; Return takes the default.
    question = session.wait_window_named("Facial points")
    session.focus(question)
    session.key("Return")
    session.wait_window_gone(question, "the detection question")
    session.stop(clipboard, "xclip")
    E.wait_for_markers(session, program, timeout=60)
    after = session.screenshot(window, "run3-pasted-after-menu")
    equal, _ = E.compare(before, after)
    if equal > 0.9:
        raise E2EFailure(f"the window looks the same after Ctrl+V ({equal:.1%} equal pixels)")
    passed(f"Ctrl+V after the menu was closed with Escape pasted the picture "
           f"({equal:.1%} of the pixels unchanged)")

    step("10: resize the window, quit with Ctrl+Q and Alt+D (Discard), start again")
    session.xdotool("windowsize", "--sync", window, 900, 560, timeout=10)
    E.wait_until(lambda: session.geometry(window)[2:] == (900, 560), 10, "the window to be 900 x 560")
    session.focus(window)
    session.key("ctrl+q")
    box = session.wait_window_named("Unsaved changes")
    session.screenshot(box, "run3-unsaved-changes")
    session.focus(box)
    session.key("alt+d")
    E.wait_until(lambda: program.process.poll() is not None, 20, "the program to end after Discard")
    program.stop()
    program = E.Program(session, [args.app], work, log_path)
    window = program.wait_main_window()
    size = session.geometry(window)[2:]
    session.screenshot(window, "run3-restarted")
    if size != (900, 560):
        raise E2EFailure(f"the restarted window is {size[0]} x {size[1]}, it was left 900 x 560")
    passed("the restarted window has the size it was left with: 900 x 560")
    program.stop()
    session.stop(manager, "openbox")


def build_package(path, documents_from, picture_path):
    """A package with the documents of another package and a picture of our choice."""
    with zipfile.ZipFile(documents_from) as source:
        effect_json = source.read("effect.json")
        properties_json = source.read("properties.json")
    with open(picture_path, "rb") as f:
        picture = f.read()
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("effect.json", effect_json)
        archive.writestr("properties.json", properties_json)
        archive.writestr("images/main/image.png", picture)


def second_run(session, args, work, view, size, reference, package_path, before_path):
    step("6: start again, open the package with \"Open PMK file\", compare the view")
    program = E.Program(session, [args.app], work, os.path.join(session.artifacts_dir, "program-run2.log"))
    window = program.wait_main_window()
    if session.geometry(window)[2:] != size:
        raise E2EFailure(f"the second window is {session.geometry(window)[2:]}, the first was {size}")

    def open_package(path):
        E.open_menu_entry(session, program, 1, view.top)
        E.answer_file_dialog(session, program, "Select PMK file", path)

    def open_picture(path):
        E.open_menu_entry(session, program, 0, view.top)
        E.answer_file_dialog(session, program, "Select image file", path)

    def view_now(label=None):
        session.xdotool("mousemove", "--window", window, 5, view.top + view.height - 3)
        shot = session.screenshot(window, label)
        return shot.crop(view.left, view.top, view.width, view.height)

    open_package(package_path)
    loaded = E.wait_for_markers(session, program, timeout=30)
    session.keep(loaded, "run2-package-opened")
    expected = reference.crop(view.left, view.top, view.width, view.height)
    shown = view_now()
    equal, mean_diff = E.compare(expected, shown)
    if equal < 0.99 or mean_diff > 1.0:
        session.keep(expected, "run2-expected-view")
        raise E2EFailure(f"the reopened package looks different: {equal:.2%} of the pixels equal, "
                         f"mean difference {mean_diff:.2f}")
    passed(f"reopened package shows the same view: {equal:.4%} of the pixels equal, "
           f"mean difference {mean_diff:.3f}")

    step("7: open a damaged package: \"Loading error\"")
    damaged = os.path.join(work, "damaged.pmk")
    with open(package_path, "rb") as f:
        data = f.read()
    with open(damaged, "wb") as f:
        f.write(data[:len(data) * 3 // 5])
    open_package(damaged)
    E.expect_message_box(session, program, "Loading error", "run2-box-damaged-package")
    passed("damaged package: \"Loading error\" box")
    if E.compare(shown, view_now())[0] != 1.0:
        raise E2EFailure("the view changed after a package was refused")
    passed("the view is unchanged after the refused package")

    step("7b: packages whose picture is too large to decode: \"Loading error\"")
    # Two kinds: a header that declares 100000 x 100000 pixels over a few rows of data, and a
    # complete, valid 12000 x 12000 picture (144 megapixels) that the image library alone would
    # decode. A small picture made the same way must load, so the refusals come from the size.
    declared_png = os.path.join(work, "declares 100000x100000.png")
    E.write_png_declaring(declared_png, 100000, 100000)
    large_png = os.path.join(work, "valid 12000x12000.png")
    E.write_grey_png(large_png, 12000, 12000)
    small_png = os.path.join(work, "valid 640x480.png")
    E.write_grey_png(small_png, 640, 480)
    for label, picture in (("declared-100000", declared_png), ("valid-12000", large_png)):
        package = os.path.join(work, f"{label}.pmk")
        build_package(package, before_path, picture)
        open_package(package)
        E.expect_message_box(session, program, "Loading error", f"run2-box-package-{label}")
        program.ensure_alive(f"refusing the package {label}")
        passed(f"package with the {label} picture ({os.path.getsize(picture)} bytes): "
               "\"Loading error\" box, the program lives on")
    if E.compare(shown, view_now())[0] != 1.0:
        raise E2EFailure("the view changed after the packages were refused")
    control_package = os.path.join(work, "control.pmk")
    build_package(control_package, before_path, small_png)
    open_package(control_package)
    E.wait_until(lambda: E.compare(shown, view_now())[0] < 0.5, 20,
                 "the same package with a 640 x 480 grey picture to load")
    time.sleep(0.5)
    E.fail_on_error_box(session, program, "opening the control package")
    control_view = view_now("run2-control-package")
    if control_view.pixel(2, 2) != (0x80, 0x80, 0x80):
        raise E2EFailure(f"the control package shows {control_view.pixel(2, 2)} where its grey "
                         "picture should be")
    passed("the same package with a small grey picture made the same way loads")

    step("7c: open a text file named .png: \"Error\"")
    text_png = os.path.join(work, "not a picture.png")
    with open(text_png, "w") as f:
        f.write("This is text, not a picture.\n")
    open_picture(text_png)
    E.expect_message_box(session, program, "Error", "run2-box-text-as-png")
    passed("text file named .png: \"Error\" box")

    step("7d: open pictures too large to decode with \"Open Image File\": \"Error\"")
    for label, picture in (("declared-100000", declared_png), ("valid-12000", large_png)):
        open_picture(picture)
        E.expect_message_box(session, program, "Error", f"run2-box-picture-{label}")
        program.ensure_alive(f"refusing the picture {label}")
        passed(f"picture {label}: \"Error\" box, the program lives on")
    if E.compare(control_view, view_now("run2-final"))[0] != 1.0:
        raise E2EFailure("the view changed after pictures were refused")
    passed("the view is unchanged after the refused pictures")
    program.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--app", required=True)
    parser.add_argument("--testdata", required=True)
    parser.add_argument("--model", required=True)
    parser.add_argument("--artifacts", required=True)
    args = parser.parse_args()

    shutil.rmtree(args.artifacts, ignore_errors=True)
    os.makedirs(args.artifacts)
    work = tempfile.mkdtemp(prefix="facemask-e2e-")
    os.symlink(args.model, os.path.join(work, "shape_predictor.dat"))
    started = time.monotonic()
    try:
        with E.Session(args.artifacts) as session:
            try:
                use_stretched_view(session)
                results = first_run(session, args, work, args.artifacts)
                second_run(session, args, work, *results)
                workspace_run(session, args, work)
            except Exception as error:
                if not isinstance(error, E2EFailure):
                    traceback.print_exc()
                E.fail(session, error)
                return 1
    except E2EFailure as error:
        print(f"E2E FAILURE: {error}", file=sys.stderr, flush=True)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    log(f"all steps passed in {time.monotonic() - started:.0f} s; screenshots in {args.artifacts}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
