"""Drives windows on a private X server with xdotool, as a user would.

SDL's message boxes on X11 are top-level windows without a class hint, and xdotool's --name
search misses their UTF8_STRING titles, so windows are listed with xwininfo. With no window
manager nothing focuses a new box: it is focused before its default button gets Return.
"""

import collections
import ctypes
import ctypes.util
import re
import subprocess

import harness
import stream_checks

# The menu's panel colour, looked for where it hangs from the window's top-right corner.
MENU_BACKGROUND = (242, 242, 242)

_CHILD = re.compile(r'^\s+(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \((.*)\)\s+(\d+)x(\d+)'
                    r'\+(-?\d+)\+(-?\d+)')

Window = collections.namedtuple("Window", "id title has_class width height x y")


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]  # XEvent: 24 longs


class Desktop:
    def __init__(self, display):
        self.display = display
        # xwininfo prints titles in the locale's encoding; the boxes' titles are Russian.
        self.env = {"DISPLAY": display, "PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8"}

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *map(str, args)], env=self.env, check=True,
                              capture_output=True, timeout=10).stdout.decode(errors="replace")

    def top_level_windows(self):
        lines = subprocess.run(["xwininfo", "-root", "-children"], env=self.env, check=True,
                               capture_output=True, text=True, timeout=10).stdout.splitlines()
        return [Window(wid, title or "", klass.strip() != "", *map(int, rest))
                for wid, title, klass, *rest in (m.groups() for m in map(_CHILD.match, lines) if m)]

    def client_window(self, timeout=15):
        """The client's stream window: the one with a class hint and a Quorvanta title."""
        return harness.wait_until(
            lambda: next((w for w in self.top_level_windows()
                          if w.has_class and w.title.startswith("Quorvanta")), None),
            timeout=timeout, what="the client window")

    def close(self, window):
        """Asks the window to close as a window manager's close button does."""
        x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XInternAtom.restype = ctypes.c_ulong
        dpy = ctypes.c_void_p(x11.XOpenDisplay(self.display.encode()))
        event = _ClientMessage(type=33, window=int(window.id, 16), format=32,  # ClientMessage
                               message_type=x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0))
        event.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        x11.XSendEvent(dpy, ctypes.c_ulong(event.window), 0, ctypes.c_long(0),
                       ctypes.byref(event))
        x11.XCloseDisplay(dpy)  # flushes the event

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
        """Clicks the menu button and waits for the menu. A click right after a message box
        closed is, rarely under load, not seen: it is tried once more, and said so."""
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
        for name in names:  # one at a time: a key may open the window the next one is for
            self.xdotool("key", name)
