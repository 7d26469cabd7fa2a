"""What the stream tests read from a running client: statistics lines and screenshots."""

import re
import subprocess

STATS = re.compile(r"^Quorvanta \| received=(\d+) decoded=(\d+) audio=(\d+) audio_errors=(\d+)$")
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
    return [m for m in map(TELEMETRY.match, lines) if m]


def statistics(client):
    names = ("received", "decoded", "audio", "audio_errors")
    return [dict(zip(names, map(int, m.groups()))) for m in map(STATS.match, client.log_lines())
            if m]


def wait_decoding(client, more=10, keys=("decoded",), timeout=30, what="decoding to go on"):
    """Waits for a statistics line `more` beyond the last so far in each of keys; returns it."""
    rows = statistics(client)
    floor = {k: (rows[-1][k] if rows else 0) + more - 1 for k in keys}

    def check():
        row = (statistics(client) or [None])[-1]
        return row if row and all(row[k] > v for k, v in floor.items()) else None
    return client.wait_log(lambda _: check(), timeout=timeout, what=what)


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


def resident_mb(pid):
    """Resident memory in MB; 0 once the process is ending (a zombie has no VmRSS line)."""
    with open(f"/proc/{pid}/status") as f:
        return next((int(l.split()[1]) / 1024 for l in f if l.startswith("VmRSS:")), 0)
