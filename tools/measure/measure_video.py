"""Video figures of the real client against the stand-in service (run by scripts/measure-video):
a live 720p60 stream encoded by the service, the same with 1 % and 5 % of its video packets
lost (seed 7), and a pre-encoded 1080p60 file (--video), each for a fixed time after
connecting. Prints the time from connecting to the first picture on screen, received, decoded
and presented frames, drops, skips, broken pictures, key-frame requests, arrival-to-present,
the longest gap once streaming, CPU and resident memory, for one or more builds side by side
(e.g. before and after a change). Prints; asserts nothing."""

import argparse
import os
import re
import subprocess
import sys
import time

# The figures come from the programs driven as the end-to-end suite drives them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/e2e"))
import harness  # noqa: E402
import stream_checks as checks
import measured_run  # noqa: E402

# A client from before the video line logged its drops here.
OLD_DROPS = re.compile(r"^frames_dropped=(\d+)")


# The stand-in's options for each case; the file case gets --video FILE.
CASES = {
    "live": (),
    "loss1": ("--loss", "1", "--seed", "7"),
    "loss5": ("--loss", "5", "--seed", "7"),
    "video": (),
}


def show_statistics_panel(xvfb):
    env = {**os.environ, **xvfb.env()}
    window = harness.wait_until(
        lambda: subprocess.run(["xdotool", "search", "--name", "Quorvanta"], capture_output=True,
                               text=True, env=env).stdout.split(), what="the window")[0]
    subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "ctrl+alt+shift+s"],
                   env=env, check=True, timeout=10)


def run_case(build, case, seconds, video_file, panel):
    harness.CLIENT = os.path.join(build, "quorvanta-client")
    harness.SERVICE = os.path.join(build, "quorvanta-local-service")
    width, height = (1920, 1080) if case == "video" else (1280, 720)
    extra = ("--video", video_file) if case == "video" else CASES[case]
    with measured_run.Run(width, height, extra) as run:
        client = run.client
        harness.wait_until(lambda: "peer_state=2" in client.log_lines(), timeout=30,
                           interval=0.01, what="the connection")
        if panel:
            show_statistics_panel(run.xvfb)
        started = time.monotonic()
        harness.wait_until(lambda: checks.screenshot(run.xvfb.display).mean() > 0.02,
                           timeout=30, interval=0.01, what="the first picture")
        first_picture = time.monotonic() - started
        cpu_start = measured_run.cpu_seconds(client.proc.pid)
        rss = 0.0
        while time.monotonic() - started < seconds:
            rss = max(rss, checks.resident_mb(client.proc.pid))
            time.sleep(0.5)
        cpu = measured_run.cpu_seconds(client.proc.pid) - cpu_start
        wall = time.monotonic() - started
        lines = client.log_lines()

    titles = [m for m in map(checks.STATS.match, lines) if m]
    title = dict(zip(("received", "decoded"), map(int, titles[-1].groups()))) if titles else {}
    video = checks.video_figures(lines)
    last = video[-1] if video else {}
    old_drops = [int(m.group(1)) for m in map(OLD_DROPS.match, lines) if m]
    received = title.get("received", 0)
    # Before the decode thread every decoded picture was presented at once.
    decoded = last.get("decoded", title.get("decoded", 0))
    presented = title.get("decoded", 0)
    dropped = last.get("encoded_dropped", old_drops[-1] if old_drops else 0)
    share_of = lambda n, whole: 100.0 * n / whole if whole else 0.0
    share = lambda n: share_of(n, received)
    a2p = sorted(row["a2p_median"] for row in video if row["presented"])
    # Gaps are counted once pictures flow: the first line may span the wait for the first.
    streaming = [row for row in video if row["presented"]][1:]
    present = sorted(row["present_ms"] for row in video if row["presented"])
    print(f"{case:5} {os.path.basename(os.path.dirname(build.rstrip('/'))) or build:>14} "
          f"| received {received:5d} decoded {decoded:5d} ({share(decoded):5.1f} %) "
          f"presented {presented:5d} ({share(presented):5.1f} %) "
          f"| dropped {dropped:4d} skipped {last.get('skipped', 0):4d} "
          f"broken {last.get('broken', 0):4d} ({share_of(last.get('broken', 0), presented):4.1f} %) "
          f"lost {last.get('packets_lost', 0):4d} keyframe requests {lines.count('keyframe_request'):3d} "
          f"| first picture {first_picture * 1000:5.0f} ms a->p median {a2p[len(a2p) // 2] if a2p else 0:6.1f} ms "
          f"present median {present[len(present) // 2] if present else 0:5.1f} ms "
          f"longest gap {max((row['longest_gap_ms'] for row in streaming), default=0):6.1f} ms "
          f"| CPU {100 * cpu / wall:5.1f} % RSS {rss:6.1f} MiB", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=25)
    parser.add_argument("--video", required=True, help="the 1080p60 Annex B file to stream")
    parser.add_argument("--case", choices=tuple(CASES), action="append")
    parser.add_argument("--statistics-panel", action="store_true",
                        help="show the client's statistics panel throughout")
    parser.add_argument("builds", nargs="+", help="build folders to compare, in this order")
    args = parser.parse_args()
    for case in args.case or tuple(CASES):
        for build in args.builds:
            load = open("/proc/loadavg").read().split()[0]
            panel = ", statistics panel shown" if args.statistics_panel else ""
            print(f"-- {case} {args.seconds:.0f} s, {build}{panel}, load average {load}",
                  flush=True)
            run_case(os.path.abspath(build), case, args.seconds, args.video,
                     args.statistics_panel)


if __name__ == "__main__":
    main()
