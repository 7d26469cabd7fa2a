"""The real client receiving a stream: from the stand-in service for both codecs, and from an
independent aiortc offerer with numeric media ids. Connection, both tracks, counters, the
picture on screen, the ways a session ends."""

import json
import os
import re
import signal
import time
import unittest

import desktop
import harness
import stream_checks as checks
from stream_checks import has_line

# What FFmpeg ("[h264 @ 0x...]"), GStreamer ("WARN webrtcbin gstwebrtcbin.c:123:...") and GLib
# ("GStreamer-CRITICAL **") print on their own.
LIBRARY_LINE = re.compile(r"\[\w+ @ 0x[0-9a-f]+\]|\b(ERROR|WARN|FIXME)\b.*\.c:\d+:|[A-Z]+ \*\*")
# Each codec once, with one of the two ways a stream ends without the player's Ctrl+C: the
# window's close button, and the service ending the session this long after it connected.
STREAM_CASES = [("h264", "window"), ("hevc", "session")]
SESSION_SECONDS = 15


class StreamTest(harness.EndToEndTest):

    def start_streaming(self, *service_args, codec="h264"):
        xvfb, service, client = self.start_session(*service_args, size=(960, 540),
                                                   settings={"client-codec.txt": codec})
        client.wait_log(has_line("peer_state=2"), timeout=20, what="peer_state=2")
        client.wait_log(has_line("audio_track_received"), what="the audio track")
        client.wait_log(has_line("video_track_received"), what="the video track")
        return xvfb, service, client

    def check_picture_moves(self, xvfb, client):
        first_stats = checks.wait_counters_beyond(
            client, {"received": 0, "decoded": 0, "audio": 0}, what="decoded pictures")
        # The first pictures of the stream may still be dark, so wait for a lit one.
        first = harness.wait_until(lambda: checks.lit_screenshot(xvfb.display),
                                   what="a picture on screen")
        checks.wait_counters_beyond(client, {k: first_stats[k] for k in
                                             ("received", "decoded", "audio")},
                                    what="the counters to grow again")
        second = checks.screenshot(xvfb.display)
        self.assertGreater(second.mean(), 0.02, "second screenshot is black")
        self.assertNotEqual(first.rgb, second.rgb, "the picture did not change")

    def test_stream_plays_in_both_codecs_and_ends_with_the_window_or_the_session(self):
        for codec, ending in STREAM_CASES:
            with self.subTest(codec=codec, ending=ending):
                args = ["--session-seconds", str(SESSION_SECONDS)] if ending == "session" else []
                xvfb, service, client = self.start_streaming(*args, codec=codec)
                connected = time.monotonic()
                viewport = service.requests("/game-sessions/demo-session/webrtc/viewport")
                self.assertEqual(json.loads(viewport[0]["body"])["codec"], codec)
                self.check_picture_moves(xvfb, client)
                if ending == "window":
                    harness.wait_until(lambda: checks.close_window(xvfb.display),
                                       what="the client's window")
                    self.assertEqual(client.wait_exit(timeout=15), 0)
                else:
                    # The client must follow the service's end within 5 s.
                    self.assertEqual(client.wait_exit(
                        timeout=connected + SESSION_SECONDS + 5 - time.monotonic()), 0)
                    print(f"[ figures ] {codec}: client ended {time.monotonic() - connected:.2f}"
                          f" s after peer_state=2 (service closes {SESSION_SECONDS} s after "
                          f"connecting)")
                    # Closed (5) is the service's goodbye; 3 would mean the silence watch fired.
                    self.assertIn("peer_state=5", client.log_lines())
                    self.assertNotIn("peer_state=3", client.log_lines())
                    self.assertIn("Session ended: the server closed the stream\n", client.stdout())
                    service.close()
                    # The service tells each viewer event on its console.
                    with open(service.log_path) as f:
                        told = re.findall(r"^viewer native-\d+ (\w+)", f.read(), re.MULTILINE)
                    self.assertEqual(told, ["connected", "ended"])
                self.assertIn("Peer state: 2\n", client.stdout())
                console = client.stdout() + client.stderr()
                self.assertIsNone(LIBRARY_LINE.search(console), console)

    # Under ThreadSanitizer decoding runs several times slower than the stream, so repairs are
    # judged by a clock the sanitizer distorts.
    @unittest.skipIf(os.environ.get("QV_SANITIZER") == "thread", "timing under ThreadSanitizer")
    def test_lost_packets_are_repaired_and_the_picture_comes_back(self):
        xvfb, _, client = self.start_streaming("--loss", "1", "--seed", "7")
        self.check_picture_moves(xvfb, client)

        # Retransmission repairs what the link loses: after a broken stretch (if any), the
        # log's broken count stands still for a whole statistics period while pictures flow.
        def repaired_period():
            rows = [r for r in checks.video_figures(client.log_lines()) if r["presented"]]
            return next((now for before, now in zip(rows, rows[1:])
                         if now["broken"] == before["broken"]
                         and now["presented"] > before["presented"] + 30
                         and now["packets_lost"] > before["packets_lost"]), None)
        row = harness.wait_until(repaired_period, timeout=30,
                                 what="a period with packets lost and no broken picture")
        print(f"[ figures ] 1 % loss: {row['packets_lost']} packets lost, {row['broken']} of "
              f"{row['presented']} pictures broken, {row['keyframe_requests']} key-frame "
              f"requests")
        self.assertGreater(checks.screenshot(xvfb.display).mean(), 0.02, "black after the loss")
        client.proc.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(timeout=15), 0)


class AiortcStreamTest(harness.EndToEndTest):

    def test_client_streams_from_aiortc_talks_both_ways_and_ends_when_it_leaves(self):
        offerer, base_url, messages = self.start_offerer()
        xvfb = self.start_xvfb(960, 540)
        client = self.start_client([base_url], env=xvfb.env())
        client.wait_log(has_line("peer_state=2"), timeout=30, what="peer_state=2")
        client.wait_log(has_line("input_channel_open"), what="the input channel")
        checks.wait_counters_beyond(client, {"received": 0, "decoded": 0, "audio": 0},
                                    what="pictures and sound")

        # The offerer's cursor message puts the remote cursor in the middle of the picture:
        # its white strokes appear there and nowhere else.
        def cursor_pixels():
            white = checks.screenshot(xvfb.display).white_pixels()
            return white if len(white) >= 10 else None
        white = harness.wait_until(cursor_pixels, what="the remote cursor on screen")
        xs, ys = [x for x, _ in white], [y for _, y in white]
        self.assertLessEqual(max(xs) - min(xs), 14)
        self.assertLessEqual(max(ys) - min(ys), 18)
        self.assertLess(abs(min(xs) - 480), 40)
        self.assertLess(abs(min(ys) - 270), 40)

        # Pointer moves over the window reach the offerer as input messages.
        screen = desktop.Desktop(xvfb.display)

        def client_messages():
            screen.xdotool("mousemove", 400, 250, "mousemove", 500, 300)
            return [json.loads(r["text"]) for r in messages("input", "input-fast")]
        sent = harness.wait_until(client_messages, what="an input message at the offerer")
        self.assertTrue(all(isinstance(m.get("type"), str) for m in sent), sent)

        left = time.monotonic()
        offerer.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(timeout=15), 0)
        print(f"[ figures ] aiortc offerer leaving seen by the client after "
              f"{time.monotonic() - left:.2f} s")
        self.assertTrue(any(l in client.log_lines() for l in ("peer_state=3", "peer_state=5")))


if __name__ == "__main__":
    harness.main()
