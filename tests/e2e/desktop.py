"""Drives windows on a private X server with xdotool, as a user would.

SDL's message boxes on X11 are separate top-level windows without a class hint, shown by a
child process while the client's main thread waits for it. xdotool's --name search does not
match their title (stored as UTF8_STRING), so windows are listed with xwininfo instead. With
no window manager nothing moves the keyboard focus to a new box: it is focused explicitly
before its default button is pressed with Return.
"""

import collections
import re
import subprocess

import harness
import stream_checks

# The menu's panel colour, looked for where it hangs from the window's top-right corner.
MENU_BACKGROUND = (242, 242, 242)

_CHILD = re.compile(r'^\s+(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \((.*)\)\s+(\d+)x(\d+)'
                    r'\+(-?\d+)\+(-?\d+)')

Window = collections.namedtuple("Window", "id title has_class width height x y")


class Desktop:
    def __init__(self, display):
        self.display = display
        # xwininfo prints titles in the locale's encoding; the boxes' titles are Russian.
        self.env = {"DISPLAY": display, "PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8"}

    def run(self, *args):
        return subprocess.run([str(a) for a in args], env=self.env, check=True,
                              capture_output=True, timeout=10).stdout.decode(errors="replace")

    def xdotool(self, *args):
        return self.run("xdotool", *args)

    def top_level_windows(self):
        lines = self.run("xwininfo", "-root", "-children").splitlines()
        return [Window(wid, title or "", klass.strip() != "", *map(int, rest))
                for wid, title, klass, *rest in (m.groups() for m in map(_CHILD.match, lines) if m)]

    def client_window(self, timeout=15):
        """The client's stream window: the one with a class hint and a Quorvanta title."""
        return harness.wait_until(
            lambda: next((w for w in self.top_level_windows()
                          if w.has_class and w.title.startswith("Quorvanta")), None),
            timeout=timeout, what="the client window")

    def message_boxes(self, title=None):
        return [w for w in self.top_level_windows()
                if not w.has_class and (title is None or w.title == title)]

    def wait_message_box(self, title, timeout=15):
        return harness.wait_until(lambda: next(iter(self.message_boxes(title)), None),
                                  timeout=timeout, what=f"the message box {title!r}")

    def dismiss(self, box, timeout=10):
        """Presses the box's default button and waits until the box has gone."""
        self.focus(box)
        self.keys("Return")
        harness.wait_until(lambda: all(w.id != box.id for w in self.top_level_windows()),
                           timeout=timeout, what=f"the message box {box.title!r} to close")

    def click(self, window, x, y):
        # One connection, so the server sees the move before the press.
        self.xdotool("mousemove", "--window", window.id, x, y, "click", "1")

    def menu_shown(self, window):
        picture = stream_checks.screenshot(self.display)
        return sum(picture.pixel(x, y) == MENU_BACKGROUND
                   for x in range(window.width - 200, window.width - 20, 4)
                   for y in range(20, 120, 4)) > 100

    def open_menu(self, window):
        """Clicks the menu button and waits for the menu. A click that comes right after a
        message box closed is sometimes not seen (rarely, under load); it is tried once more,
        and said so."""
        for attempt in range(2):
            self.focus(window)
            self.click(window, window.width - 30, 20)
            try:
                return harness.wait_until(lambda: self.menu_shown(window), timeout=5,
                                          what="the menu")
            except AssertionError:
                if attempt:
                    raise
                print("[ note ] the menu button needed a second click")

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", window.id)

    def keys(self, *names):
        for name in names:
            self.xdotool("key", name)
