"""The real client receiving a stream from the stand-in service in both codecs: a moving picture,
repairs under loss and the ways a session ends. (aiortc's stream is in test_hostile.py.)"""

import os
import re
import time
import unittest

import harness
import stream_checks as checks

# What FFmpeg ("[h264 @ 0x...]"), GStreamer ("WARN webrtcbin gstwebrtcbin.c:123:...") and GLib
# ("GStreamer-CRITICAL **") print on their own.
LIBRARY_LINE = re.compile(r"\[\w+ @ 0x[0-9a-f]+\]|\b(ERROR|WARN|FIXME)\b.*\.c:\d+:|[A-Z]+ \*\*")
SESSION_SECONDS = 15
ALL = ("received", "decoded", "audio")


class StreamTest(harness.EndToEndTest):

    def start_streaming(self, *service_args, codec="h264"):
        screen, service, client = self.start_session(*service_args, size=(960, 540),
                                                     settings={"client-codec.txt": codec})
        client.wait_log("peer_state=2", timeout=20)
        client.wait_log({"audio_track_received", "video_track_received"})
        return screen, service, client

    def check_picture_moves(self, screen, client):
        checks.wait_decoding(client, more=1, keys=ALL, what="pictures and sound")
        # The first pictures of the stream may still be dark, so wait for a lit one.
        first = harness.wait_until(lambda: (s := checks.screenshot(screen.display)).mean() > 0.02
                                   and s, what="a picture on screen")
        checks.wait_decoding(client, more=1, keys=ALL, what="the counters to grow again")
        second = checks.screenshot(screen.display)
        self.assertGreater(second.mean(), 0.02, "second screenshot is black")
        self.assertNotEqual(first.rgb, second.rgb, "the picture did not change")

    def test_stream_plays_in_both_codecs_and_ends_with_the_window_or_the_session(self):
        # The service ends the hevc session this long after it connected.
        for codec, ending in [("h264", "window"), ("hevc", "session")]:
            with self.subTest(codec=codec, ending=ending):
                args = ["--session-seconds", str(SESSION_SECONDS)] if ending == "session" else []
                screen, service, client = self.start_streaming(*args, codec=codec)
                connected = time.monotonic()
                self.check_picture_moves(screen, client)
                if ending == "window":
                    screen.close(screen.client_window())
                    self.assertEqual(client.wait_exit(timeout=15), 0)
                else:
                    # The client must follow the service's end within 5 s.
                    self.assertEqual(client.wait_exit(
                        timeout=connected + SESSION_SECONDS + 5 - time.monotonic()), 0)
                    # Closed (5) is the service's goodbye; 3 would mean the silence watch fired.
                    self.assertIn("peer_state=5", client.log_lines())
                    self.assertNotIn("peer_state=3", client.log_lines())
                    self.assertIn("Session ended: the server closed the stream\n", client.stdout())
                    service.close()
                    told = re.findall(r"^viewer native-\d+ (\w+)", harness.read(service.log_path),
                                      re.MULTILINE)
                    self.assertEqual(told, ["connected", "ended"])
                self.assertIn("Peer state: 2\n", client.stdout())
                console = client.stdout() + client.stderr()
                self.assertIsNone(LIBRARY_LINE.search(console), console)

    # Under ThreadSanitizer decoding runs several times slower than the stream, so repairs are
    # judged by a clock the sanitizer distorts.
    @unittest.skipIf(os.environ.get("QV_SANITIZER") == "thread", "timing under ThreadSanitizer")
    def test_lost_packets_are_repaired_and_the_picture_comes_back(self):
        screen, _, client = self.start_streaming("--loss", "1", "--seed", "7")
        self.check_picture_moves(screen, client)

        # Retransmission repairs what the link loses: after a broken stretch (if any), the
        # broken count stands still for a whole statistics period while pictures flow.
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
        self.assertGreater(checks.screenshot(screen.display).mean(), 0.02, "black after the loss")
        self.assertEqual(client.stop(timeout=15), 0)


if __name__ == "__main__":
    harness.main()
