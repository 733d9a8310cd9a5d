"""Helpers for driving the facemask program in a real X server from outside.

Everything here works with bounded waits and raises E2EFailure with a message that says what
was expected, so a failed run stops at the first step that went wrong. Processes started here
get SIGTERM when the driver itself dies (even by SIGKILL from a test timeout), and every
process is stopped again when the Session ends.
"""

import ctypes
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib


class E2EFailure(Exception):
    pass


def log(message):
    print(f"[e2e {time.strftime('%H:%M:%S')}] {message}", flush=True)


def _die_with_parent():
    # Runs in the child between fork and exec: ask the kernel for SIGTERM when the driver dies.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def wait_until(predicate, timeout, what, interval=0.2):
    """Polls predicate until it returns a true value (returned) or timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise E2EFailure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


# ---------------------------------------------------------------------------------------------
# Pictures: screenshots are read as PPM from ImageMagick's import, kept as RGB bytes, and
# written as PNG with zlib so that no imaging module is needed.

class Image:
    def __init__(self, width, height, rgb):
        self.width = width
        self.height = height
        self.rgb = rgb

    def pixel(self, x, y):
        i = 3 * (y * self.width + x)
        return self.rgb[i], self.rgb[i + 1], self.rgb[i + 2]

    def crop(self, left, top, width, height):
        rows = []
        for y in range(top, top + height):
            start = 3 * (y * self.width + left)
            rows.append(self.rgb[start:start + 3 * width])
        return Image(width, height, b"".join(rows))

    def row(self, y):
        start = 3 * y * self.width
        return self.rgb[start:start + 3 * self.width]

    def save_png(self, path):
        raw = b"".join(b"\x00" + self.row(y) for y in range(self.height))

        def chunk(kind, payload):
            body = kind + payload
            return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body))

        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        with open(path, "wb") as out:
            out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                      + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def parse_ppm(data):
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    pos += 1
    if fields[0] != b"P6" or int(fields[3]) != 255:
        raise E2EFailure(f"screenshot is not an 8-bit PPM (header {fields!r})")
    width, height = int(fields[1]), int(fields[2])
    rgb = data[pos:pos + 3 * width * height]
    if len(rgb) != 3 * width * height:
        raise E2EFailure("screenshot PPM is truncated")
    return Image(width, height, rgb)


def is_marker_red(r, g, b):
    return r > 200 and g < 60 and b < 60


def red_mask(image):
    rgb = image.rgb
    mask = bytearray(image.width * image.height)
    for i in range(image.width * image.height):
        j = 3 * i
        if rgb[j] > 200 and rgb[j + 1] < 60 and rgb[j + 2] < 60:
            mask[i] = 1
    return mask


def red_components(image, mask=None):
    """Connected (4-neighbour) areas of marker red: dicts with pixel count, box and centre."""
    if mask is None:
        mask = red_mask(image)
    w, h = image.width, image.height
    seen = bytearray(w * h)
    found = []
    for start in range(w * h):
        if not mask[start] or seen[start]:
            continue
        seen[start] = 1
        stack = [start]
        count = sx = sy = 0
        x0, y0, x1, y1 = w, h, -1, -1
        while stack:
            i = stack.pop()
            x, y = i % w, i // w
            count += 1
            sx += x
            sy += y
            x0, y0, x1, y1 = min(x0, x), min(y0, y), max(x1, x), max(y1, y)
            for n in (i - 1 if x > 0 else -1, i + 1 if x < w - 1 else -1,
                      i - w if y > 0 else -1, i + w if y < h - 1 else -1):
                if n >= 0 and mask[n] and not seen[n]:
                    seen[n] = 1
                    stack.append(n)
        found.append({"count": count, "box": (x0, y0, x1, y1),
                      "centre": (sx / count, sy / count)})
    return found


def is_disc(component):
    """A single marker disc: radius 6 with a dark outline leaves a red area about 11 px across."""
    x0, y0, x1, y1 = component["box"]
    width, height = x1 - x0 + 1, y1 - y0 + 1
    return 8 <= width <= 13 and 8 <= height <= 13 and component["count"] >= 0.6 * width * height


def isolated_discs(image, region, margin=10):
    """Discs inside region (left, top, right, bottom) with no other red pixel within margin."""
    mask = red_mask(image)
    components = red_components(image, mask)
    left, top, right, bottom = region
    result = []
    for c in components:
        if not is_disc(c):
            continue
        x0, y0, x1, y1 = c["box"]
        if x0 - margin < left or y0 - margin < top or x1 + margin > right or y1 + margin > bottom:
            continue
        others = 0
        for y in range(y0 - margin, y1 + margin + 1):
            for x in range(x0 - margin, x1 + margin + 1):
                inside = x0 <= x <= x1 and y0 <= y <= y1
                if not inside and mask[y * image.width + x]:
                    others += 1
        if others == 0:
            result.append(c)
    return result


def count_red(image):
    return sum(red_mask(image))


def compare(a, b):
    """Fraction of equal pixels and mean absolute channel difference of two same-size images."""
    if (a.width, a.height) != (b.width, b.height):
        raise E2EFailure(f"cannot compare pictures of {a.width}x{a.height} and {b.width}x{b.height}")
    equal = 0
    total_diff = 0
    ra, rb = a.rgb, b.rgb
    for i in range(0, len(ra), 3):
        d = abs(ra[i] - rb[i]) + abs(ra[i + 1] - rb[i + 1]) + abs(ra[i + 2] - rb[i + 2])
        total_diff += d
        if d == 0:
            equal += 1
    pixels = a.width * a.height
    return equal / pixels, total_diff / (3 * pixels)


def changed_rows(a, b):
    return [y for y in range(a.height) if a.row(y) != b.row(y)]


# ---------------------------------------------------------------------------------------------
# Test files.

def write_png_declaring(path, width, height):
    """A valid little PNG whose header declares width x height RGB pixels; only a few rows of
    pixel data follow, so the file is tiny while the declared picture would need
    width*height*4 bytes once decoded."""
    def chunk(kind, payload):
        body = kind + payload
        return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    some_rows = zlib.compress(b"".join(b"\x00" + b"\x80" * (3 * width) for _ in range(2)), 9)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", some_rows)
                  + chunk(b"IEND", b""))


def write_grey_png(path, width, height, level=0x80):
    """A complete, valid 8-bit grey PNG of one grey level. Any size costs little on disk (rows of
    one value deflate about a thousand to one), while decoding it needs width*height bytes."""
    def chunk(kind, payload):
        body = kind + payload
        return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body))

    row = b"\x00" + bytes([level]) * width
    deflater = zlib.compressobj(9)
    pieces = [deflater.compress(row) for _ in range(height)]
    pieces.append(deflater.flush())
    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                  + chunk(b"IDAT", b"".join(pieces)) + chunk(b"IEND", b""))


# ---------------------------------------------------------------------------------------------
# The X session and the program's windows.

class Session:
    """An Xvfb display of its own plus the processes started on it; stops them all on exit."""

    def __init__(self, artifacts_dir, screen="1280x800x24"):
        self.artifacts_dir = artifacts_dir
        self.screen = screen
        self.processes = []
        self.display = None
        self.env = None
        self.shot_number = 0
        self.private_dir = None

    TOOLS = ("Xvfb", "xdotool", "xclip", "import", "xwininfo")

    def __enter__(self):
        try:
            return self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise

    def _start(self):
        missing = [tool for tool in self.TOOLS if shutil.which(tool) is None]
        if missing:
            raise E2EFailure(f"missing tools {missing}: run scripts/install-deps.sh")
        os.makedirs(self.artifacts_dir, exist_ok=True)
        read_end, write_end = os.pipe()
        xvfb = self.spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.screen,
                           "-nolisten", "tcp", "-noreset"],
                          pass_fds=(write_end,), env=os.environ.copy(), name="Xvfb")
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                raise E2EFailure("Xvfb did not report its display number within 20 s")
            piece = os.read(read_end, 16)
            if not piece:
                raise E2EFailure(f"Xvfb ended at start-up (exit code {xvfb.poll()})")
            number += piece
        os.close(read_end)
        self.display = ":" + number.decode().strip()
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION",
                                 "QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE", "SESSION_MANAGER")}
        self.env["DISPLAY"] = self.display
        # The file dialogs keep their history in the user's configuration folder: give the
        # program folders of its own so that runs neither see nor change the user's.
        self.private_dir = tempfile.mkdtemp(prefix="facemask-e2e-xdg-")
        for name in ("XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"):
            path = os.path.join(self.private_dir, name.lower())
            os.makedirs(path, mode=0o700)
            self.env[name] = path
        self.env["QT_QPA_PLATFORM"] = "xcb"
        self.env.setdefault("QT_QPA_FONTDIR", "/usr/share/fonts/truetype/dejavu")
        log(f"Xvfb runs on display {self.display}")
        return self

    def __exit__(self, kind, value, traceback):
        for process, name in reversed(list(self.processes)):
            self.stop(process, name)
        if self.private_dir:
            shutil.rmtree(self.private_dir, ignore_errors=True)
        return False

    def spawn(self, command, name, env=None, cwd=None, pass_fds=(), stdout=None, stderr=None):
        process = subprocess.Popen(command, env=env if env is not None else self.env, cwd=cwd,
                                   pass_fds=pass_fds, stdout=stdout, stderr=stderr,
                                   stdin=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        self.processes.append((process, name))
        return process

    def stop(self, process, name):
        entry = (process, name)
        if entry in self.processes:
            self.processes.remove(entry)
        if process.poll() is not None:
            return
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            log(f"{name} did not end on SIGTERM within 10 s; killing it")
            process.kill()
            process.wait(timeout=10)

    # -- X tools ------------------------------------------------------------------------------

    def x(self, *args, timeout=15, check=True):
        # The X tools take their arguments in the locale's encoding, and the text typed is UTF-8:
        # under LC_ALL=C xdotool refuses any letter outside ASCII.
        env = dict(self.env, LC_ALL="C.UTF-8")
        try:
            done = subprocess.run(list(args), env=env, capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise E2EFailure(f"{' '.join(map(str, args))} did not finish within {timeout} s")
        if check and done.returncode != 0:
            raise E2EFailure(f"{' '.join(map(str, args))} failed ({done.returncode}): "
                             f"{done.stderr.decode(errors='replace').strip()}")
        return done

    def xdotool(self, *args, timeout=15, check=True):
        return self.x("xdotool", *map(str, args), timeout=timeout, check=check).stdout.decode()

    def search(self, *criteria):
        done = self.x("xdotool", "search", "--onlyvisible", *criteria, check=False)
        return [int(w) for w in done.stdout.decode().split()]

    def windows_of(self, pid):
        return self.search("--pid", str(pid))

    def window_named(self, title):
        found = self.search("--name", f"^{title}$")
        return found[0] if found else None

    def wait_window_named(self, title, timeout=20):
        return wait_until(lambda: self.window_named(title), timeout, f'a window titled "{title}"')

    def visible(self, window):
        done = self.x("xwininfo", "-id", str(window), check=False)
        return done.returncode == 0 and b"IsViewable" in done.stdout

    def wait_window_gone(self, window, what, timeout=20):
        wait_until(lambda: not self.visible(window), timeout, f"{what} to close")

    def geometry(self, window):
        text = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in text.split() if "=" in line)
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def window_name(self, window):
        return self.xdotool("getwindowname", window).strip()

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", window, timeout=10)

    def click(self, window, x, y, button=1):
        self.xdotool("mousemove", "--window", window, x, y)
        self.xdotool("click", button)

    def key(self, *keys):
        self.xdotool("key", "--delay", 40, *keys)

    def type_text(self, text):
        self.xdotool("type", "--delay", 60, text, timeout=60)

    def type_into_field(self, text, attempts=2):
        """Types text into the focused line edit and reads it back through the clipboard (Ctrl+A,
        Ctrl+C). xdotool types a character the keyboard map lacks by mapping it to a spare key for
        a moment; now and then the program reads that key after the mapping is gone and the
        character is lost, the more often the busier the machine. The field is then typed again,
        and at last filled through the clipboard, as a user would paste it."""
        got = None
        for attempt in range(1, attempts + 2):
            self.key("ctrl+a")
            if attempt <= attempts:
                self.type_text(text)
            else:
                subprocess.run(["xclip", "-selection", "clipboard", "-i"], input=text.encode("utf-8"),
                               env=self.env, check=True, timeout=15)
                self.key("ctrl+v")
            self.key("ctrl+a", "ctrl+c")
            for _ in range(20):
                done = self.x("xclip", "-selection", "clipboard", "-o", check=False)
                if done.returncode == 0:
                    got = done.stdout.decode("utf-8", errors="replace")
                    if got == text:
                        return
                time.sleep(0.1)
            how = "typing" if attempt <= attempts else "pasting"
            log(f"the field holds {got!r} after {how} {text!r} (attempt {attempt})")
        raise E2EFailure(f"{text!r} could not be put into the field: it holds {got!r}")

    def drag(self, window, start, end, steps=12):
        sx, sy = start
        ex, ey = end
        self.xdotool("mousemove", "--window", window, sx, sy)
        time.sleep(0.1)
        self.xdotool("mousedown", 1)
        for i in range(1, steps + 1):
            x = round(sx + (ex - sx) * i / steps)
            y = round(sy + (ey - sy) * i / steps)
            self.xdotool("mousemove", "--window", window, x, y)
            time.sleep(0.03)
        time.sleep(0.1)
        self.xdotool("mouseup", 1)

    def screenshot(self, window, label=None):
        done = self.x("import", "-window", str(window), "-depth", "8", "ppm:-", timeout=30)
        image = parse_ppm(done.stdout)
        if label:
            self.keep(image, label)
        return image

    def keep(self, image, label):
        self.shot_number += 1
        path = os.path.join(self.artifacts_dir, f"{self.shot_number:02d}-{label}.png")
        image.save_png(path)
        return path

    def keep_screen(self, label):
        try:
            return self.keep(self.screenshot("root"), label)
        except Exception as error:  # diagnosis only: never hide the original failure
            log(f"could not take a screenshot of the whole screen: {error}")
            return None


class Program:
    """One run of the facemask binary on a session, in a working directory of its own."""

    def __init__(self, session, command, workdir, log_path, env=None):
        self.session = session
        self.workdir = workdir
        self.log_path = log_path
        self.log_file = open(log_path, "ab")
        self.process = session.spawn(command, name="facemask", cwd=workdir, env=env,
                                     stdout=self.log_file, stderr=subprocess.STDOUT)
        self.window = None

    def ensure_alive(self, doing):
        code = self.process.poll()
        if code is not None:
            raise E2EFailure(f"the program ended (exit code {code}) while {doing}")

    def wait_main_window(self, timeout=30):
        def found():
            self.ensure_alive("waiting for its window")
            windows = self.session.windows_of(self.process.pid)
            return windows[0] if len(windows) == 1 else None
        self.window = wait_until(found, timeout, "the program's main window")
        log(f"main window {self.window}: geometry {self.session.geometry(self.window)}")
        return self.window

    def other_windows(self):
        return [w for w in self.session.windows_of(self.process.pid) if w != self.window]

    def wait_new_window(self, what, timeout=20):
        def found():
            self.ensure_alive(f"waiting for {what}")
            windows = self.other_windows()
            return windows[0] if len(windows) == 1 else None
        return wait_until(found, timeout, what)

    def wait_only_main_window(self, what, timeout=20):
        def done():
            self.ensure_alive(f"waiting for {what}")
            return not self.other_windows()
        wait_until(done, timeout, what)

    def stop(self):
        self.session.stop(self.process, "facemask")
        self.log_file.close()


# ---------------------------------------------------------------------------------------------
# What a user does with the program.

VIEW_PROBE = (320, 180)  # inside the view of a fresh 640 x 360 window, below the menu bar


def paste_picture(session, program, picture_path):
    """Offers the picture on the clipboard as image/png, clicks the view and presses Ctrl+V."""
    with open(picture_path, "rb") as f:
        if f.read(8) != b"\x89PNG\r\n\x1a\n":
            raise E2EFailure(f"{picture_path} is not a PNG file")
    # -quiet keeps xclip in the foreground, serving the selection until it is stopped.
    clipboard = session.spawn(["xclip", "-quiet", "-selection", "clipboard", "-t", "image/png",
                               "-i", picture_path], name="xclip",
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def offered():
        done = session.x("xclip", "-selection", "clipboard", "-o", "-t", "TARGETS", check=False)
        return b"image/png" in done.stdout
    wait_until(offered, 10, "the clipboard to offer image/png")
    session.click(program.window, *VIEW_PROBE)
    session.focus(program.window)
    session.key("ctrl+v")
    return clipboard


def fail_on_error_box(session, program, doing):
    for title in ("Error", "Loading error", "Saving error"):
        box = session.window_named(title)
        if box:
            session.screenshot(box, "unexpected-" + title.replace(" ", "-"))
            raise E2EFailure(f'an unexpected "{title}" box appeared while {doing}')
    program.ensure_alive(doing)


def wait_for_markers(session, program, timeout=60, minimum_red=500, interval=0.3):
    """Waits until the window shows marker discs and two screenshots in a row are equal."""
    previous = [None]
    program.markers_first_seen = None

    def drawn():
        fail_on_error_box(session, program, "waiting for the landmark markers")
        taken = time.monotonic()
        shot = session.screenshot(program.window)
        red = count_red(shot)
        settled = previous[0] is not None and previous[0].rgb == shot.rgb
        previous[0] = shot
        markers = red >= minimum_red and any(is_disc(c) for c in red_components(shot))
        if markers and program.markers_first_seen is None:
            # The markers were on the screen when this shot began, at the latest.
            program.markers_first_seen = taken
        if markers and settled:
            return shot
        return None
    return wait_until(drawn, timeout, f"landmark markers (at least {minimum_red} red pixels, "
                                      "one marker disc, a settled picture)", interval=interval)


def open_menu_entry(session, program, entry_index, menu_bar_height):
    """Clicks "File" in the menu bar and picks the entry at entry_index (0 is the first)."""
    session.click(program.window, 15, max(1, menu_bar_height // 2))
    wait_until(lambda: program.other_windows(), 10, 'the "File" menu to open')
    session.key(*(["Down"] * (entry_index + 1)), "Return")


def type_path(session, dialog, path, what):
    """Types path into the file name field of a file dialog (it has the focus) and confirms it.
    The name completer may pop up while typing and take the first Return, as it does for a user,
    who then presses Return again."""
    session.focus(dialog)
    time.sleep(0.2)
    session.key("ctrl+a")
    session.type_text(path)
    session.key("Return")
    try:
        session.wait_window_gone(dialog, what, timeout=4)
    except E2EFailure:
        session.key("Return")
        session.wait_window_gone(dialog, what, timeout=16)


def answer_file_dialog(session, program, caption, path):
    """Types path into the file dialog titled caption and confirms it."""
    dialog = session.wait_window_named(caption)
    type_path(session, dialog, path, f'the "{caption}" dialog')


def expect_message_box(session, program, title, label):
    """Waits for the warning box titled title, keeps its picture and closes it with its OK."""
    box = session.wait_window_named(title)
    time.sleep(0.3)
    shot = session.screenshot(box, label)
    session.focus(box)
    session.key("Return")
    session.wait_window_gone(box, f'the "{title}" box')
    program.ensure_alive(f'closing the "{title}" box')
    return shot


def fail(session, error):
    """Leaves a picture of the whole screen next to the step pictures and says where they are."""
    session.keep_screen("failure-screen")
    print(f"E2E FAILURE: {error}", file=sys.stderr, flush=True)
    print(f"Screenshots and program output kept in {session.artifacts_dir}", file=sys.stderr,
          flush=True)
