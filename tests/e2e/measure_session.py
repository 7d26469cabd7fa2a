"""Session figures of the real client against the stand-in service (run by
scripts/measure-session): start to Connected, start to first picture, frames per second
received, CPU of the client. Prints; asserts nothing."""

import argparse
import os
import re
import shutil
import signal
import tempfile
import time

import harness
import stream_checks as checks


def first_time(predicate, started, timeout, interval=0.01):
    value = harness.wait_until(predicate, timeout=timeout, interval=interval)
    return time.monotonic() - started, value


def measure(codec, seconds, width, height):
    workdir = tempfile.mkdtemp(prefix="qv-measure-")
    xvfb = harness.Xvfb(width, height)
    service = harness.Service(workdir)
    # A real service has its stream ready long before a player starts.
    harness.wait_until(lambda: "stream ready" in open(service.log_path).read(), timeout=15,
                       what="the service's stream")
    client = None
    try:
        settings = os.path.join(workdir, "appdata", "Quorvanta")
        os.makedirs(settings)
        with open(os.path.join(settings, "client-codec.txt"), "w") as f:
            f.write(codec)
        started = time.monotonic()
        client = harness.Client(workdir, [service.base_url], env=xvfb.env())
        # The steps on the way, as the service and the client's log show them.
        steps = {}
        marks = [("login", lambda: service.requests("/auth/login")),
                 ("viewport", lambda: service.requests("/game-sessions/demo-session/webrtc/viewport")),
                 ("first poll", lambda: service.requests("/game-sessions/demo-session/webrtc/events")),
                 ("answer", lambda: service.requests("/game-sessions/demo-session/webrtc/signal")),
                 ("connected", lambda: "peer_state=2" in client.log_lines())]

        def note_steps():
            for name, seen in marks:
                if name not in steps and seen():
                    steps[name] = time.monotonic() - started
            return "connected" in steps
        harness.wait_until(note_steps, timeout=30, interval=0.005)
        connected = steps["connected"]
        # The window stays black until a picture is presented (Xvfb runs with a black root).
        pictured, _ = first_time(lambda: checks.screenshot(xvfb.display).mean() > 0.02, started,
                                 30, interval=0.0)
        cpu_start = checks.cpu_seconds(client.proc.pid)
        rows_start = len(checks.statistics(client))
        wall_start = time.monotonic()
        harness.wait_until(lambda: time.monotonic() - wall_start >= seconds, timeout=seconds + 5,
                           interval=0.2)
        cpu = checks.cpu_seconds(client.proc.pid) - cpu_start
        wall = time.monotonic() - wall_start
        rows = checks.statistics(client)
        window = rows[rows_start:] if len(rows) - rows_start >= 2 else rows
        # Consecutive statistics lines are 2 s apart; the rate comes from their counters.
        span = 2.0 * (len(window) - 1)
        fps = (window[-1]["received"] - window[0]["received"]) / span if span else 0.0
        decoded_fps = (window[-1]["decoded"] - window[0]["decoded"]) / span if span else 0.0
        print(f"{codec:5} {width}x{height}  connected {connected * 1000:7.0f} ms   "
              f"first picture {pictured * 1000:7.0f} ms   received {fps:5.1f} fps   "
              f"decoded {decoded_fps:5.1f} fps   client CPU {100 * cpu / wall:5.1f} % of one core "
              f"over {wall:.0f} s   keyframe requests "
              f"{client.log_lines().count('keyframe_request')}")
        print("      steps (ms from start): " + ", ".join(
            f"{name} {steps[name] * 1000:.0f}" for name, _ in marks if name in steps) +
              f", first picture {pictured * 1000:.0f}")
    finally:
        if client:
            client.proc.send_signal(signal.SIGTERM)
            client.close()
        service.close()
        xvfb.close()
        shutil.rmtree(workdir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10, help="steady-state window")
    parser.add_argument("--size", default="1280x720", help="display (and stream) size")
    parser.add_argument("--runs", type=int, default=1)
    args = parser.parse_args()
    width, height = (int(v) for v in re.match(r"(\d+)x(\d+)$", args.size).groups())
    load = open("/proc/loadavg").read().split()[0]
    print(f"machine: {os.cpu_count()} cores, load average {load}")
    for _ in range(args.runs):
        for codec in ("h264", "hevc"):
            measure(codec, args.seconds, width, height)


if __name__ == "__main__":
    main()
