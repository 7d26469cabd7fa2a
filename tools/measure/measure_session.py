"""Session figures of the real client against the stand-in service (run by
scripts/measure-session): start to Connected, start to first picture, frames per second
received, CPU of the client. Prints; asserts nothing."""

import argparse
import os
import re
import sys
import time

# The figures come from the programs driven as the end-to-end suite drives them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/e2e"))
import harness  # noqa: E402
import stream_checks as checks
import measured_run  # noqa: E402
from screen_probe import ScreenProbe  # noqa: E402


def first_time(predicate, started, timeout, interval=0.01):
    value = harness.wait_until(predicate, timeout=timeout, interval=interval)
    return time.monotonic() - started, value


def measure(codec, seconds, width, height):
    with measured_run.Run(width, height, settings={"client-codec.txt": codec}) as run:
        client, service, started = run.client, run.service, run.started
        # The steps on the way, as the service and the client's log show them.
        steps = {}
        session = "/game-sessions/demo-session/webrtc/"
        marks = [("login", lambda: service.requests("/auth/login")),
                 ("viewport", lambda: service.requests(session + "viewport")),
                 ("first poll", lambda: service.requests(session + "events")),
                 ("answer", lambda: service.requests(session + "signal")),
                 ("connected", lambda: "peer_state=2" in client.log_lines())]

        def note_steps():
            for name, seen in marks:
                if name not in steps and seen():
                    steps[name] = time.monotonic() - started
            return "connected" in steps
        harness.wait_until(note_steps, timeout=30, interval=0.005)
        connected = steps["connected"]
        # The window stays black until a picture is presented (Xvfb runs with a black root).
        with ScreenProbe(run.xvfb.display, width, height) as probe:
            pictured, _ = first_time(probe.lit, started, 30, interval=0.002)
        cpu_start = measured_run.cpu_seconds(client.proc.pid)
        rows_start = len(checks.statistics(client))
        wall_start = time.monotonic()
        harness.wait_until(lambda: time.monotonic() - wall_start >= seconds, timeout=seconds + 5,
                           interval=0.2)
        cpu = measured_run.cpu_seconds(client.proc.pid) - cpu_start
        wall = time.monotonic() - wall_start
        rows = checks.statistics(client)
        window = rows[rows_start:] if len(rows) - rows_start >= 2 else rows
        # Consecutive statistics lines are 2 s apart; the rate comes from their counters.
        span = 2.0 * (len(window) - 1) if len(window) >= 2 else 0.0
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
