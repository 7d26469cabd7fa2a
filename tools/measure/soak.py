"""Long run of the real client against the stand-in service (started by scripts/soak).

Prints one line a minute with the client's resident memory, open descriptors and threads
(from /proc) and its stream counters (from its log), then a summary. Fails on a crash or an
early end, a stream that stops moving, memory growth above
the limit from minute 1 to the end, or any change in the descriptor count after minute 1.
"""

import argparse
import os
import re
import shutil
import signal
import sys
import tempfile
import time

# The figures come from the programs driven as the end-to-end suite drives them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tests/e2e"))
import harness  # noqa: E402
from stream_checks import STATS, VIDEO

# Memory may grow this much from minute 1 to the end of a run of 30 minutes or more.
RSS_LIMIT_MIB = 1.0
SHORT_RUN_MINUTES = 30
# Shorter runs get a fixed allowance instead: in the first minutes the allocator's arenas still
# settle (up to 6 MiB more resident between minutes 1 and 2 on a loaded two-core machine, with
# the heap in use flat), which a short run cannot tell from a leak. 8 MiB a minute still
# catches any leak of 3 KB or more per received frame (60 a second).
SHORT_RUN_RSS_LIMIT_MIB = 8.0


def rss_limit_mib(minutes):
    return RSS_LIMIT_MIB if minutes >= SHORT_RUN_MINUTES else SHORT_RUN_RSS_LIMIT_MIB


def process_figures(pid, samples=5):
    """Resident memory (KiB), descriptors and threads, each the lowest of a few samples
    taken 50 ms apart: requests in flight open sockets for a moment, which is no leak."""
    rss, fds, threads = [], [], []
    for i in range(samples):
        with open(f"/proc/{pid}/status") as f:
            status = f.read()
        rss.append(int(re.search(r"^VmRSS:\s+(\d+) kB", status, re.M).group(1)))
        threads.append(int(re.search(r"^Threads:\s+(\d+)", status, re.M).group(1)))
        fds.append(len(os.listdir(f"/proc/{pid}/fd")))
        if i + 1 < samples:
            time.sleep(0.05)
    return min(rss), min(fds), min(threads)


def counters(lines):
    """The last statistics of the log: received, presented, audio, audio errors, encoded frames
    dropped, pictures skipped and broken. None until both lines have been written once."""
    stats = video = None
    for line in reversed(lines):
        if stats is None and (m := STATS.match(line)):
            stats = [int(v) for v in m.groups()]
        elif video is None and (m := VIDEO.match(line)):
            video = m
        if stats and video:
            return dict(zip(("received", "presented", "audio", "audio_errors"), stats),
                        dropped=int(video["encoded_dropped"]), skipped=int(video["skipped"]),
                        broken=int(video["broken"]))
    return None


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


class Soak:
    def __init__(self, minutes, video):
        self.minutes = minutes
        self.workdir = tempfile.mkdtemp(prefix="qv-soak-")
        self.xvfb = harness.Xvfb(1920, 1080)
        self.service = harness.Service(self.workdir, "--video", video)
        self.client = harness.Client(self.workdir, [self.service.base_url], env=self.xvfb.env())
        self.failures = []
        self.rows = []

    def close(self):
        self.client.close()
        self.service.close()
        self.xvfb.close()

    def alive(self):
        return self.client.proc.poll() is None and self.service.proc.poll() is None

    def ended_early(self):
        """Why the run cannot go on, or None while both programs run."""
        code = self.client.proc.poll()
        if code is not None:
            how = f"killed by signal {-code}" if code < 0 else f"exit code {code}"
            kind = "crashed" if code != 0 else "ended on its own (connection lost)"
            return f"the client {kind}: {how}"
        if self.service.proc.poll() is not None:
            return f"the service ended: exit code {self.service.proc.returncode}"
        return None

    def wait_until(self, deadline):
        while time.monotonic() < deadline:
            if self.ended_early():
                return False
            time.sleep(0.5)
        return True

    def run(self):
        print(f"soak: {self.minutes} min at 1080p60, {os.cpu_count()} cores, "
              f"load average {load_average()}", flush=True)
        def first_picture():
            if self.ended_early():
                raise AssertionError(self.ended_early())
            now = counters(self.client.log_lines())
            return now if now and now["presented"] > 0 else None

        try:
            first = harness.wait_until(first_picture, timeout=90, interval=0.2,
                                       what="the first presented picture")
        except AssertionError as error:
            self.failures.append(str(error))
            return
        started = time.monotonic()
        print(f"soak: streaming (received={first['received']} presented={first['presented']})",
              flush=True)
        previous = first
        for minute in range(1, self.minutes + 1):
            if not self.wait_until(started + 60 * minute):
                self.failures.append(self.ended_early())
                return
            rss, fds, threads = process_figures(self.client.proc.pid)
            now = counters(self.client.log_lines())
            row = dict(minute=minute, rss=rss, fds=fds, threads=threads, **now)
            self.rows.append(row)
            print(f"minute {minute:3d}  rss {rss / 1024:7.1f} MiB  fds {fds:4d}  "
                  f"threads {threads:3d}  received {now['received']:7d}  "
                  f"presented {now['presented']:7d}  dropped {now['dropped']:6d}  "
                  f"skipped {now['skipped']:6d}  broken {now['broken']:6d}  audio {now['audio']:7d}  "
                  f"audio_errors {now['audio_errors']}", flush=True)
            if now["received"] <= previous["received"] or now["presented"] <= previous["presented"]:
                self.failures.append(f"the stream stood still in minute {minute}")
            previous = now

    def stop(self):
        """Closes the client as the user would (SIGTERM becomes a window close) and checks it
        ends cleanly."""
        if self.client.proc.poll() is not None:
            return
        self.client.proc.send_signal(signal.SIGTERM)
        try:
            code = self.client.proc.wait(timeout=30)
        except Exception:
            self.failures.append("the client did not end within 30 s of SIGTERM")
            return
        if code != 0:
            self.failures.append(f"the client ended with exit code {code} after SIGTERM")

    def summarise(self):
        limit = rss_limit_mib(self.minutes)
        if self.rows:
            first, last = self.rows[0], self.rows[-1]
            growth = (last["rss"] - first["rss"]) / 1024
            fd_counts = sorted({row["fds"] for row in self.rows})
            print(f"summary: rss {first['rss'] / 1024:.1f} -> {last['rss'] / 1024:.1f} MiB "
                  f"({growth:+.2f} MiB from minute 1, limit {limit:.1f}); "
                  f"fds {first['fds']} -> {last['fds']} (seen {fd_counts}); "
                  f"threads {first['threads']} -> {last['threads']}; "
                  f"received {last['received']} presented {last['presented']} "
                  f"dropped {last['dropped']} skipped {last['skipped']} broken {last['broken']} "
                  f"audio_errors {last['audio_errors']}", flush=True)
            if growth > limit:
                self.failures.append(f"memory grew {growth:.2f} MiB (limit {limit:.1f})")
            if len(fd_counts) > 1:
                self.failures.append(f"the descriptor count moved after minute 1: {fd_counts}")
        crashed = any("crashed" in failure for failure in self.failures)
        print(f"summary: crashed: {'yes' if crashed else 'no'}; "
              f"load average {load_average()}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=int, required=True)
    parser.add_argument("--video", required=True, help="Annex B file the service loops")
    args = parser.parse_args()

    soak = Soak(args.minutes, os.path.abspath(args.video))
    try:
        soak.run()
        soak.stop()
    finally:
        soak.close()
    soak.summarise()
    if soak.failures:
        for failure in soak.failures:
            print(f"soak: FAILED: {failure}", file=sys.stderr)
        print(f"soak: kept work folder {soak.workdir}", file=sys.stderr)
        return 1
    shutil.rmtree(soak.workdir, ignore_errors=True)
    print("soak: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
