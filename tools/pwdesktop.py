"""The agent's tray as a person sees it: Wine's virtual desktop with its taskbar on the X
server of ./run, real clicks through xdotool and screenshots through xwd and ImageMagick.

    missing()                    what is lacking for this (display, xdotool, xwd, convert) or []
    Desktop(exe, args)           runs a program in `explorer /desktop=shell,1000x700`;
                                 .wait_shown() finds the window and the taskbar, .close() waits
                                 for the desktop to end with its last program
    Screen()                     one screenshot: .pixel(x, y), .save(path, box, scale),
                                 .diff_box(other, box)
    Tray(desktop)                .find_icon() on the taskbar's right end, .open_menu(icon) by a
                                 right click: a Menu with its text rows, .centre(row), .ticked(row)
    click(x, y)                  a left click
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pwtest  # noqa: E402

CONVERT = "/usr/bin/convert"  # ImageMagick (a stand-in of the same name may come first)


def missing():
    """Names of what a real-click run lacks here (empty when everything is present)."""
    lacking = []
    if not os.environ.get("DISPLAY"):
        lacking.append("an X display (DISPLAY unset; ./run starts Xvfb)")
    for tool, package in (("xdotool", "xdotool"), ("xwd", "x11-apps")):
        if not shutil.which(tool):
            lacking.append(f"{tool} (package {package})")
    if not os.access(CONVERT, os.X_OK):
        lacking.append(f"{CONVERT} (package imagemagick)")
    if not lacking and subprocess.run(["xdotool", "getdisplaygeometry"], capture_output=True,
                                      timeout=10).returncode != 0:
        lacking.append(f"a reachable X display ({os.environ['DISPLAY']})")
    return lacking


def xdotool(*args):
    return subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True,
                          timeout=30).stdout


class Screen:
    """A screenshot of the whole X screen, kept as 24-bit pixels."""

    def __init__(self):
        xwd = subprocess.run(["xwd", "-root", "-silent"], capture_output=True, timeout=30,
                             check=True).stdout
        ppm = subprocess.run([CONVERT, "xwd:-", "ppm:-"], input=xwd, capture_output=True,
                             timeout=30, check=True).stdout
        # Binary PPM: "P6" width height maxval, separated by white space and comments.
        fields, pos = [], 0
        while len(fields) < 4:
            while ppm[pos:pos + 1].isspace():
                pos += 1
            if ppm[pos:pos + 1] == b"#":
                pos = ppm.index(b"\n", pos)
                continue
            end = pos
            while not ppm[end:end + 1].isspace():
                end += 1
            fields.append(ppm[pos:end])
            pos = end
        self.width, self.height = int(fields[1]), int(fields[2])
        self.data = ppm[pos + 1:]

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def ink(self, x, y):
        """Text and check marks on the light menu, their smoothed edges included."""
        return sum(self.pixel(x, y)) < 600

    def save(self, path, box=None, scale=100):
        """Writes the screenshot, or the part of it in box, enlarged by scale per cent."""
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        header = b"P6 %d %d 255\n" % (self.width, self.height)
        args = []
        if box:
            x0, y0, x1, y1 = box
            args += ["-crop", "%dx%d+%d+%d" % (x1 - x0, y1 - y0, x0, y0), "+repage"]
        if scale != 100:
            args += ["-scale", "%d%%" % scale]
        subprocess.run([CONVERT, "ppm:-", *args, path], input=header + self.data, check=True,
                       timeout=30)
        return path

    def diff_box(self, other, box):
        """Bounding box (x0, y0, x1, y1, exclusive ends) of the pixels inside box that differ
        from the other screenshot, or None."""
        x0, y0, x1, y1 = box
        found = None
        for y in range(y0, y1):
            row = (y * self.width) * 3
            a = self.data[row + x0 * 3:row + x1 * 3]
            b = other.data[row + x0 * 3:row + x1 * 3]
            if a == b:
                continue
            xs = [x0 + i // 3 for i in range(0, len(a), 3) if a[i:i + 3] != b[i:i + 3]]
            if found is None:
                found = [min(xs), y, max(xs) + 1, y + 1]
            else:
                found = [min(found[0], min(xs)), found[1], max(found[2], max(xs) + 1), y + 1]
        return tuple(found) if found else None


def wait_screen(predicate, timeout=15.0):
    """Takes screenshots until predicate(screen) is true; returns (screen, value)."""
    deadline = time.monotonic() + timeout
    while True:
        screen = Screen()
        value = predicate(screen)
        if value or time.monotonic() > deadline:
            return screen, value
        time.sleep(0.2)


class Desktop:
    """Wine's virtual desktop with a taskbar, shown as one X window. It is painted once a
    program runs on it, and it ends by itself when the last program on it has ended."""

    def __init__(self, exe, args=(), name="shell", size=(1000, 700)):
        self.name, self.size = name, size
        self.desktop_arg = "/desktop=%s,%dx%d" % (name, *size)
        self.title = f"{name} - Wine desktop"
        self.x = self.y = 0
        self.taskbar = None
        self.launcher = subprocess.Popen(
            [pwtest.WINERUN, "explorer", self.desktop_arg, exe, *map(str, args)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_shown(self, timeout=60):
        """Waits for the desktop's window and its painted taskbar; False when they don't come."""
        deadline = time.monotonic() + timeout
        window = pwtest.wait_for(self.window, timeout=timeout, interval=0.2)
        if not window:
            return False
        geometry = dict(line.split("=", 1) for line in
                        xdotool("getwindowgeometry", "--shell", window).split())
        self.x, self.y = int(geometry["X"]), int(geometry["Y"])
        _, self.taskbar = wait_screen(self._find_taskbar,
                                      timeout=max(1.0, deadline - time.monotonic()))
        return self.taskbar is not None

    def window(self):
        ids = xdotool("search", "--name", "^%s$" % self.title).split()
        return ids[0] if ids else None

    def _find_taskbar(self, screen):
        """(x0, y0, x1, y1) of the taskbar: the rows at the bottom of the desktop that differ
        from the desktop's background, once its start button is drawn on them."""
        w, h = self.size
        background = screen.pixel(self.x + w // 2, self.y + h // 2)
        bottom = self.y + h
        top = bottom
        while top > self.y and screen.pixel(self.x + w // 2, top - 1) != background:
            top -= 1
        if top == bottom or top < bottom - 60:
            return None
        bar = screen.pixel(self.x + w // 2, bottom - 2)
        start_button = any(screen.pixel(x, (top + bottom) // 2) != bar
                           for x in range(self.x, self.x + 40))
        return (self.x, top, self.x + w, bottom) if start_button else None

    def close(self, timeout=30):
        """Waits for the desktop to end, which it does some seconds after its last program;
        otherwise ends its explorer. Returns whether it ended by itself."""
        ended = pwtest.wait_for(lambda: not self.window(), timeout=timeout, interval=0.2)
        if not ended:
            for pid in self._explorer_pids():
                try:
                    os.kill(pid, 15)
                except OSError:
                    pass
        if self.launcher.poll() is None:
            pwtest.stop(self.launcher)
        return bool(ended)

    def _explorer_pids(self):
        """The explorer processes of this desktop in this prefix."""
        prefix = ("WINEPREFIX=" + pwtest.wineprefix()).encode()
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    cmdline = f.read()
                with open(f"/proc/{entry}/environ", "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            if b"explorer" in cmdline and self.desktop_arg.encode() in cmdline and prefix in environ:
                pids.append(int(entry))
        return pids


class Menu:
    """An open popup menu found on a screenshot: its box and its rows of text."""

    def __init__(self, screen, box):
        self.screen, self.box = screen, box
        x0, y0, x1, y1 = box
        # Inside the one-pixel frame; lines with ink, grouped into runs. A separator is a run
        # of one or two lines, text is taller.
        inked = [y for y in range(y0 + 2, y1 - 2)
                 if any(screen.ink(x, y) for x in range(x0 + 2, x1 - 2))]
        runs = []
        for y in inked:
            if runs and y == runs[-1][1] + 1:
                runs[-1][1] = y
            else:
                runs.append([y, y])
        self.rows = [(top, bottom + 1) for top, bottom in runs if bottom - top >= 3]
        # The text column starts where the first row's ink starts ("解除" is never ticked).
        self.text_left = x0
        if self.rows:
            top, bottom = self.rows[0]
            self.text_left = min(x for x in range(x0 + 2, x1 - 2) for y in range(top, bottom)
                                 if screen.ink(x, y))

    def centre(self, index):
        top, bottom = self.rows[index]
        return (self.text_left + self.box[2]) // 2, (top + bottom) // 2

    def ticked(self, index):
        """True when the row has ink left of the text column: its check mark."""
        top, bottom = self.rows[index]
        return any(self.screen.ink(x, y) for y in range(top - 2, bottom + 2)
                   for x in range(self.box[0] + 2, self.text_left - 2))


class Tray:
    """The notification area of a desktop's taskbar and the menu of the icon in it."""

    def __init__(self, desktop):
        self.desktop = desktop

    def icon(self, screen):
        """Box (x0, y0, x1, y1) of what is drawn at the taskbar's right end, where the icons
        sit: the pixels that differ from the bar's own colour; None when there is nothing."""
        x0, y0, x1, y1 = self.desktop.taskbar
        bar = screen.pixel(x1 - 1, y1 - 2)
        found = None
        for y in range(y0 + 2, y1 - 2):
            xs = [x for x in range((x0 + x1) // 2, x1 - 1) if screen.pixel(x, y) != bar]
            if xs:
                found = [min(xs), y, max(xs) + 1, y + 1] if found is None else [
                    min(found[0], min(xs)), found[1], max(found[2], max(xs) + 1), y + 1]
        return tuple(found) if found else None

    def find_icon(self, timeout=20):
        """Waits for an icon in the tray: (screen, box), box None when none appeared."""
        return wait_screen(self.icon, timeout)

    def open_menu(self, icon, timeout=10):
        """Right-clicks the icon's centre and waits for the menu above the taskbar: returns
        (screen, Menu or None)."""
        before = Screen()
        x, y = (icon[0] + icon[2]) // 2, (icon[1] + icon[3]) // 2
        # Away at once, so that the icon's tool tip does not come up over the menu.
        xdotool("mousemove", x, y, "click", "3", "mousemove", self.desktop.x + 5,
                self.desktop.y + 5)
        above = (self.desktop.x, self.desktop.y, self.desktop.taskbar[2],
                 self.desktop.taskbar[1])

        def menu(screen):
            box = screen.diff_box(before, above)
            # A tool tip is one line high; the menu has several rows.
            return box if box and box[3] - box[1] > 30 else None
        screen, box = wait_screen(menu, timeout)
        # The menu may still be drawing: wait until two screenshots in a row agree.
        deadline = time.monotonic() + timeout
        while box and time.monotonic() < deadline:
            time.sleep(0.2)
            again = Screen()
            settled = again.diff_box(screen, above) is None
            screen, box = again, again.diff_box(before, above)
            if settled:
                break
        return screen, Menu(screen, box) if box else None


def click(x, y, button=1):
    xdotool("mousemove", x, y, "click", button)
