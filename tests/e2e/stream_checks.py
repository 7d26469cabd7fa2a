"""What the end-to-end stream tests read from a running client: its statistics lines and
screenshots of its display."""

import ctypes
import ctypes.util
import os
import re
import subprocess

STATS = re.compile(r"^Quorvanta \| received=(\d+) decoded=(\d+) audio=(\d+) audio_errors=(\d+)$")
# The video path's figures, logged with every statistics line.
VIDEO = re.compile(
    r"^video received=(?P<received>\d+) decoded=(?P<decoded>\d+) presented=(?P<presented>\d+) "
    r"encoded_dropped=(?P<encoded_dropped>\d+) skipped=(?P<skipped>\d+) broken=(?P<broken>\d+) "
    r"keyframe_requests=(?P<keyframe_requests>\d+) packets_lost=(?P<packets_lost>\d+) "
    r"out_of_order=(?P<out_of_order>\d+) "
    r"arrival_to_present_ms=(?P<a2p_median>\d+\.\d)/(?P<a2p_p99>\d+\.\d) "
    r"decode_ms=(?P<decode_ms>\d+\.\d) present_ms=(?P<present_ms>\d+\.\d) "
    r"longest_gap_ms=(?P<longest_gap_ms>\d+\.\d)$")
TELEMETRY = re.compile(r"^target=(\d+)kbps received=(\d+)kbps rtt=(-?\d+)ms local_drop=\d+\.\d{6}$")


def video_figures(lines):
    """Every video statistics line as a dict, oldest first: counters as int, ms as float."""
    return [{key: float(value) if "." in value else int(value)
             for key, value in match.groupdict().items()}
            for match in map(VIDEO.match, lines) if match]


def telemetry_lines(lines):
    """The matches of every telemetry cycle's line, oldest first."""
    return [m for m in map(TELEMETRY.match, lines) if m]


def statistics(client):
    """Every statistics line so far, as dicts of counters, oldest first."""
    names = ("received", "decoded", "audio", "audio_errors")
    return [dict(zip(names, map(int, m.groups()))) for m in map(STATS.match, client.log_lines())
            if m]


def wait_counters_beyond(client, floor, timeout=20, what="the counters to grow"):
    """Waits for a statistics line whose counters all exceed those in floor, and returns it."""
    def check():
        rows = statistics(client)
        if rows and all(rows[-1][k] > v for k, v in floor.items()):
            return rows[-1]
        return None
    client.wait_log(lambda _: check(), timeout=timeout, what=what)
    return check()


def wait_decoding(client, more=10, timeout=30, what="decoding to go on"):
    """Waits until a statistics line shows `more` decoded frames beyond the last one so far."""
    rows = statistics(client)
    floor = (rows[-1]["decoded"] if rows else 0) + more - 1
    return wait_counters_beyond(client, {"decoded": floor}, timeout=timeout, what=what)["decoded"]


def has_line(text):
    return lambda lines: text in lines


def signaling_lines(client):
    return [l for l in client.stderr().splitlines() if l.startswith("Signaling: ")]


class Picture:
    """One screenshot, as packed 8-bit RGB."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    def mean(self):
        return sum(self.rgb) / (len(self.rgb) * 255.0)

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def white_pixels(self, threshold=250):
        data = self.rgb
        return [((i // 3) % self.width, (i // 3) // self.width) for i in range(0, len(data), 3)
                if data[i] >= threshold and data[i + 1] >= threshold and data[i + 2] >= threshold]


def screenshot(display):
    """The whole X screen, read as a binary PPM (its pixels are the last width*height*3 bytes)."""
    data = subprocess.run(["import", "-display", display, "-window", "root", "-depth", "8",
                           "ppm:-"], check=True, capture_output=True, timeout=20).stdout
    magic, width, height, depth = data[:64].split()[:4]
    if magic != b"P6" or depth != b"255":
        raise ValueError("not an 8-bit binary PPM")
    width, height = int(width), int(height)
    return Picture(width, height, data[-width * height * 3:])


def lit_screenshot(display):
    shot = screenshot(display)
    return shot if shot.mean() > 0.02 else None


def cpu_seconds(pid):
    """User plus system CPU time of a live process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / float(os.sysconf("SC_CLK_TCK"))


def resident_mb(pid):
    """Resident memory in MB; 0 once the process is ending (a zombie has no VmRSS line)."""
    with open(f"/proc/{pid}/status") as f:
        return next((int(l.split()[1]) / 1024 for l in f if l.startswith("VmRSS:")), 0)


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]  # XEvent: 24 longs


def close_window(display, title_prefix="Quorvanta"):
    """Asks the client's top-level window to close, as a window manager's close button does
    (WM_DELETE_WINDOW). Returns False when no such window exists."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XDefaultRootWindow.restype = x11.XInternAtom.restype = ctypes.c_ulong
    dpy = ctypes.c_void_p(x11.XOpenDisplay(display.encode()))
    if not dpy.value:
        raise RuntimeError("cannot open display " + display)
    try:
        root, parent, count = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_uint()
        children = ctypes.POINTER(ctypes.c_ulong)()
        x11.XQueryTree(dpy, ctypes.c_ulong(x11.XDefaultRootWindow(dpy)), ctypes.byref(root),
                       ctypes.byref(parent), ctypes.byref(children), ctypes.byref(count))
        target = None
        for i in range(count.value):
            name = ctypes.c_char_p()  # leaks a few bytes; this process is short-lived
            if x11.XFetchName(dpy, ctypes.c_ulong(children[i]), ctypes.byref(name)) \
                    and name.value and name.value.decode(errors="replace").startswith(title_prefix):
                target = children[i]
        if target is None:
            return False
        event = _ClientMessage(type=33, window=target, format=32,  # 33: ClientMessage
                               message_type=x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0))
        event.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        x11.XSendEvent(dpy, ctypes.c_ulong(target), 0, ctypes.c_long(0), ctypes.byref(event))
        x11.XFlush(dpy)
        return True
    finally:
        x11.XCloseDisplay(dpy)
