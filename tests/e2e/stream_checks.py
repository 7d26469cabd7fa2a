"""What the end-to-end stream tests read from a running client: its statistics lines and
screenshots of its display."""

import re
import subprocess

import harness

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


def decoded_counts(lines):
    """The decoded counter of every statistics line, oldest first."""
    return [int(m.group(2)) for m in map(STATS.match, lines) if m]


def video_figures(lines):
    """Every video statistics line as a dict, oldest first: counters as int, ms as float."""
    rows = []
    for match in map(VIDEO.match, lines):
        if match:
            rows.append({key: float(value) if "." in value else int(value)
                         for key, value in match.groupdict().items()})
    return rows


def telemetry_lines(lines):
    """The matches of every telemetry cycle's line, oldest first."""
    return [m for m in map(TELEMETRY.match, lines) if m]


def statistics(client):
    """Every statistics line so far, as dicts of counters, oldest first."""
    rows = []
    for line in client.log_lines():
        match = STATS.match(line)
        if match:
            received, decoded, audio, errors = (int(g) for g in match.groups())
            rows.append({"received": received, "decoded": decoded, "audio": audio,
                         "audio_errors": errors})
    return rows


def wait_counters_beyond(client, floor, timeout=20, what="the counters to grow"):
    """Waits for a statistics line whose counters all exceed those in floor."""
    def check():
        rows = statistics(client)
        if rows and all(rows[-1][k] > v for k, v in floor.items()):
            return rows[-1]
        return None
    return client.wait_log(lambda _: check(), timeout=timeout, what=what) and check()


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
        found = []
        data = self.rgb
        for i in range(0, len(data), 3):
            if data[i] >= threshold and data[i + 1] >= threshold and data[i + 2] >= threshold:
                p = i // 3
                found.append((p % self.width, p // self.width))
        return found


def screenshot(display):
    """The whole X screen; PPM keeps the reader trivial."""
    out = subprocess.run(["import", "-display", display, "-window", "root", "-depth", "8",
                          "ppm:-"], check=True, capture_output=True, timeout=20).stdout
    return parse_ppm(out)


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
    if fields[0] != b"P6" or int(fields[3]) != 255:
        raise ValueError("not an 8-bit binary PPM")
    width, height = int(fields[1]), int(fields[2])
    rgb = data[pos + 1:pos + 1 + width * height * 3]
    if len(rgb) != width * height * 3:
        raise ValueError("short PPM")
    return Picture(width, height, rgb)


def cpu_seconds(pid):
    """User plus system CPU time of a live process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    return ticks / float(__import__("os").sysconf("SC_CLK_TCK"))


def wait_for(predicate, timeout=10, what="condition"):
    return harness.wait_until(predicate, timeout=timeout, what=what)


def close_window(display, title_prefix="Quorvanta"):
    """Asks the client's top-level window to close, as a window manager's close button does
    (WM_DELETE_WINDOW), through Xlib directly. Returns False when no such window exists."""
    import ctypes
    import ctypes.util

    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                               ctypes.POINTER(ctypes.c_ulong),
                               ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                               ctypes.POINTER(ctypes.c_uint)]
    x11.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                               ctypes.POINTER(ctypes.c_char_p)]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x11.XFree.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                    ("pad", ctypes.c_long * 12)]  # XEvent is 24 longs

    dpy = x11.XOpenDisplay(display.encode())
    if not dpy:
        raise RuntimeError("cannot open display " + display)
    try:
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children = ctypes.POINTER(ctypes.c_ulong)()
        count = ctypes.c_uint()
        x11.XQueryTree(dpy, x11.XDefaultRootWindow(dpy), ctypes.byref(root), ctypes.byref(parent),
                       ctypes.byref(children), ctypes.byref(count))
        target = None
        for i in range(count.value):
            name = ctypes.c_char_p()
            if x11.XFetchName(dpy, children[i], ctypes.byref(name)) and name.value:
                if name.value.decode(errors="replace").startswith(title_prefix):
                    target = children[i]
            # XFetchName's string leaks a few bytes here; this process is short-lived.
        if children:
            x11.XFree(children)
        if target is None:
            return False
        event = ClientMessage()
        event.type = 33  # ClientMessage
        event.window = target
        event.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
        event.format = 32
        event.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
        event.data[1] = 0  # CurrentTime
        x11.XSendEvent(dpy, target, 0, 0, ctypes.byref(event))
        x11.XFlush(dpy)
        return True
    finally:
        x11.XCloseDisplay(dpy)


def exp_golomb(value):
    bits = bin(value + 1)[2:]
    return "0" * (len(bits) - 1) + bits


def with_picture_size(sps, width, height, references):
    """An H.264 Main-profile sequence parameter set (NAL header included) claiming another
    picture size and number of reference frames, everything else as it was."""
    rbsp = re.sub(b"\x00\x00\x03", b"\x00\x00", sps[1:])
    bits = "".join(f"{b:08b}" for b in rbsp)
    at = 24  # profile, constraint flags, level

    def ue():
        nonlocal at
        zeros = bits.index("1", at) - at
        value = int(bits[at + zeros:at + 2 * zeros + 1], 2) - 1
        at += 2 * zeros + 1
        return value
    assert int(bits[:8], 2) == 77, "Main profile expected"
    ue()  # parameter set id
    ue()  # log2 of the largest frame number
    if ue() == 0:  # picture order count type
        ue()
    head = bits[:at]
    ue()  # reference frames
    gaps = bits[at]
    at += 1
    ue()
    ue()  # width and height in macroblocks
    tail = bits[at:bits.rindex("1")]  # up to the stop bit
    out = (head + exp_golomb(references) + gaps + exp_golomb(width // 16 - 1) +
           exp_golomb(height // 16 - 1) + tail + "1")
    out += "0" * (-len(out) % 8)
    raw = bytes(int(out[i:i + 8], 2) for i in range(0, len(out), 8))
    return sps[:1] + re.sub(b"\x00\x00(?=[\x00-\x03])", b"\x00\x00\x03", raw)


def crafted_stream(path, width, height, references=16):
    """A second of a tiny H.264 stream whose sequence header claims width x height."""
    small = path + ".small.h264"
    subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=size=64x64:rate=30", "-t", "1", "-c:v", "libx264", "-profile:v",
                    "main", "-pix_fmt", "yuv420p", "-bf", "0", "-g", "30", "-f", "h264",
                    small], check=True, timeout=60)
    with open(small, "rb") as f:
        units = f.read().split(b"\x00\x00\x01")
    units = [with_picture_size(u, width, height, references) if u and u[0] & 0x1F == 7 else u
             for u in units]
    with open(path, "wb") as f:
        f.write(b"\x00\x00\x01".join(units))
    return path


def has_line(text):
    return lambda lines: text in lines


def signaling_lines(client):
    return [l for l in client.stderr().splitlines() if l.startswith("Signaling: ")]


def decoded(client):
    rows = statistics(client)
    return rows[-1]["decoded"] if rows else 0


def wait_decoding(client, more=10, timeout=30, what="decoding to go on"):
    """Waits until a statistics line shows `more` decoded frames beyond the last one so far."""
    floor = decoded(client) + more - 1
    return wait_counters_beyond(client, {"decoded": floor}, timeout=timeout, what=what)
