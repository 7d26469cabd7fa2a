"""The real client receiving a stream: from the stand-in service for both codecs, and from an
independent aiortc offerer. Connection, both tracks, counters, the picture on screen, the
two ways a session ends."""

import json
import os
import re
import signal
import subprocess
import time

import harness
import stream_checks as checks
from stream_checks import has_line

AIORTC_OFFERER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "aiortc_offerer.py")
CURSOR_MESSAGE = '{"type":"cursor","x":32768,"y":32768,"visible":true}'
# What FFmpeg ("[h264 @ 0x...]"), GStreamer ("WARN webrtcbin gstwebrtcbin.c:123:...") and GLib
# ("GStreamer-CRITICAL **") print on their own.
LIBRARY_LINE = re.compile(r"\[\w+ @ 0x[0-9a-f]+\]|\b(ERROR|WARN|FIXME)\b.*\.c:\d+:|[A-Z]+ \*\*")


def lit_screenshot(display):
    shot = checks.screenshot(display)
    return shot if shot.mean() > 0.02 else None


class StreamTest(harness.EndToEndTest):

    def start_streaming_client(self, base_url, codec="h264", xvfb=None, args=()):
        xvfb = xvfb or self.start_xvfb(960, 540)
        client = self.start_client([base_url, *args], env=xvfb.env(),
                                   settings={"client-codec.txt": codec})
        client.wait_log(has_line("peer_state=2"), timeout=20, what="peer_state=2")
        client.wait_log(has_line("audio_track_received"), what="the audio track")
        client.wait_log(has_line("video_track_received"), what="the video track")
        return xvfb, client

    def check_picture_moves(self, xvfb, client):
        first_stats = checks.wait_counters_beyond(
            client, {"received": 0, "decoded": 0, "audio": 0}, what="decoded pictures")
        # The first pictures of the stream may still be dark, so wait for a lit one.
        first = checks.wait_for(lambda: lit_screenshot(xvfb.display), what="a picture on screen")
        checks.wait_counters_beyond(client, {k: first_stats[k] for k in
                                             ("received", "decoded", "audio")},
                                    what="the counters to grow again")
        second = checks.screenshot(xvfb.display)
        self.assertGreater(second.mean(), 0.02, "second screenshot is black")
        self.assertNotEqual(first.rgb, second.rgb, "the picture did not change")

    def check_stream(self, codec, close):
        service = self.start_service()
        xvfb, client = self.start_streaming_client(service.base_url, codec)
        viewport = service.requests("/game-sessions/demo-session/webrtc/viewport")
        self.assertEqual(json.loads(viewport[0]["body"])["codec"], codec)
        self.check_picture_moves(xvfb, client)
        close(xvfb, client)
        self.assertEqual(client.wait_exit(timeout=15), 0)
        self.assertIn("Peer state: 2\n", client.stdout())
        self.assert_no_library_lines(client)

    def assert_no_library_lines(self, client):
        console = client.stdout() + client.stderr()
        self.assertIsNone(LIBRARY_LINE.search(console), console)

    def test_h264_stream_plays_and_closing_the_window_ends_the_client(self):
        def close_window(xvfb, client):
            checks.wait_for(lambda: checks.close_window(xvfb.display),
                            what="the client's window")
        self.check_stream("h264", close_window)

    def test_hevc_stream_plays_and_sigterm_ends_the_client(self):
        self.check_stream("hevc", lambda xvfb, client: client.proc.send_signal(signal.SIGTERM))

    def test_session_end_of_the_service_ends_the_client_promptly(self):
        for codec in ("h264", "hevc"):
            with self.subTest(codec=codec):
                service = self.start_service("--session-seconds", "3")
                _, client = self.start_streaming_client(service.base_url, codec)
                connected = time.monotonic()
                # The service closes 3 s after it connected; the client must follow within 5 s.
                self.assertEqual(client.wait_exit(timeout=8), 0)
                took = time.monotonic() - connected
                print(f"[ figures ] {codec}: client ended {took:.2f} s after peer_state=2 "
                      f"(service closes 3 s after connecting)")
                # Closed (5) is the service's goodbye; 3 would mean the silence watch fired.
                self.assertIn("peer_state=5", client.log_lines())
                self.assertNotIn("peer_state=3", client.log_lines())
                self.assertIn("Session ended: the server closed the stream\n", client.stdout())
                service.close()
                # The service tells each viewer event on its console.
                with open(service.log_path) as f:
                    told = re.findall(r"^viewer native-\d+ (\w+)", f.read(), re.MULTILINE)
                self.assertEqual(told, ["connected", "ended"])

    def test_lost_packets_are_repaired_and_the_picture_comes_back(self):
        service = self.start_service("--loss", "1", "--seed", "7")
        xvfb, client = self.start_streaming_client(service.base_url)
        self.check_picture_moves(xvfb, client)

        # Retransmission repairs what the link loses: after a broken stretch (if any), the
        # log's broken count stands still for a whole statistics period while pictures flow.
        def repaired_period():
            rows = [r for r in checks.video_figures(client.log_lines()) if r["presented"]]
            return next((now for before, now in zip(rows, rows[1:])
                         if now["broken"] == before["broken"]
                         and now["presented"] > before["presented"] + 30
                         and now["packets_lost"] > before["packets_lost"]), None)
        row = checks.wait_for(repaired_period, timeout=30,
                              what="a period with packets lost and no broken picture")
        print(f"[ figures ] 1 % loss: {row['packets_lost']} packets lost, {row['broken']} of "
              f"{row['presented']} pictures broken, {row['keyframe_requests']} key-frame "
              f"requests")
        self.assertGreater(checks.screenshot(xvfb.display).mean(), 0.02, "black after the loss")
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(timeout=15), 0)


class AiortcStreamTest(harness.EndToEndTest):

    def start_offerer(self, *args):
        record = os.path.join(self.workdir, "offerer-record.jsonl")
        errors = open(record + ".stderr", "w")
        self.stack.callback(errors.close)
        proc = subprocess.Popen(
            ["/usr/bin/python3", AIORTC_OFFERER, "--port", "0", "--record", record,
             "--session-id", "s-aiortc", "--input-message", CURSOR_MESSAGE, *args],
            stdout=subprocess.PIPE, stderr=errors, text=True)
        self.stack.callback(proc.stdout.close)
        self.stack.callback(harness.stop_process, proc)
        line = proc.stdout.readline()
        self.assertTrue(line.startswith("listening on 127.0.0.1:"), line)
        port = int(line.rsplit(":", 1)[1])

        def records():
            if not os.path.exists(record):
                return []
            with open(record) as f:
                return [json.loads(l) for l in f if l.strip()]
        return proc, f"http://127.0.0.1:{port}", records

    def test_client_streams_from_aiortc_and_talks_both_ways(self):
        _, base_url, records = self.start_offerer()
        xvfb = self.start_xvfb(960, 540)
        client = self.start_client([base_url], env=xvfb.env())
        client.wait_log(has_line("peer_state=2"), timeout=30, what="peer_state=2")
        client.wait_log(has_line("audio_track_received"), what="the audio track")
        client.wait_log(has_line("video_track_received"), what="the video track")
        client.wait_log(has_line("input_channel_open"), what="the input channel")
        checks.wait_counters_beyond(client, {"received": 0, "decoded": 0, "audio": 0},
                                    what="pictures and sound")

        # The offerer's cursor message puts the remote cursor in the middle of the picture:
        # its white strokes appear there and nowhere else.
        def cursor_pixels():
            white = checks.screenshot(xvfb.display).white_pixels()
            return white if len(white) >= 10 else None
        white = checks.wait_for(cursor_pixels, what="the remote cursor on screen")
        xs = [x for x, _ in white]
        ys = [y for _, y in white]
        self.assertLessEqual(max(xs) - min(xs), 14)
        self.assertLessEqual(max(ys) - min(ys), 18)
        self.assertLess(abs(min(xs) - 480), 40)
        self.assertLess(abs(min(ys) - 270), 40)

        # Pointer moves over the window go to the offerer as input messages (on the fast
        # channel when it is open).
        env = {**os.environ, **xvfb.env()}

        def client_messages():
            subprocess.run(["xdotool", "mousemove", "400", "250", "mousemove", "500", "300"],
                           env=env, check=True, timeout=10)
            return [json.loads(r["text"]) for r in records()
                    if r["kind"] == "message" and r["label"] in ("input", "input-fast")
                    and "text" in r]
        messages = checks.wait_for(client_messages, what="an input message at the offerer")
        self.assertTrue(all(isinstance(m.get("type"), str) for m in messages), messages)

        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(timeout=15), 0)

    def test_offerer_going_away_ends_the_client(self):
        proc, base_url, records = self.start_offerer()
        xvfb = self.start_xvfb(640, 360)
        client = self.start_client([base_url], env=xvfb.env())
        client.wait_log(has_line("peer_state=2"), timeout=30, what="peer_state=2")
        checks.wait_counters_beyond(client, {"received": 0}, what="frames")
        left = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(timeout=15), 0)
        print(f"[ figures ] aiortc offerer leaving seen by the client after "
              f"{time.monotonic() - left:.2f} s")
        self.assertTrue(any(l in client.log_lines() for l in ("peer_state=3", "peer_state=5")))


if __name__ == "__main__":
    harness.main()
