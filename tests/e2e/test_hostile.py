"""The real client against peers and servers that send what no server should: each case bounds
what the client may take and checks that it goes on or stops cleanly."""

import contextlib
import http.server
import json
import os
import re
import signal
import subprocess
import time
import urllib.request

import harness
import stream_checks as checks
from stream_checks import wait_decoding

SESSION = "/game-sessions/demo-session/webrtc/"


def cursor_at(display, not_at=None):
    """Top-left of the white cursor strokes, or None when there are none (or it is not_at)."""
    white = checks.screenshot(display).white_pixels()
    at = (min(x for x, _ in white), min(y for _, y in white)) if len(white) >= 10 else None
    return at if at != not_at else None


class AiortcPeerTest(harness.EndToEndTest):

    def test_stream_from_aiortc_shrugs_off_hostile_messages_and_ends_when_the_peer_leaves(self):
        offerer, base_url, messages = self.start_offerer()
        # The window fills the screen, so picture and screen coordinates agree.
        screen, _, client = self.start_session(url=base_url, size=(1280, 720))
        client.wait_log({"peer_state=2", "input_channel_open"}, timeout=30)
        wait_decoding(client, more=1, keys=("received", "decoded", "audio"),
                      what="pictures and sound")
        # The offerer's first message puts the cursor in the middle of the picture.
        centre = harness.wait_until(lambda: cursor_at(screen.display), what="the cursor")
        self.assertLess(abs(centre[0] - 640), 20)
        self.assertLess(abs(centre[1] - 360), 20)

        def send(label, **message):
            body = json.dumps({"label": label, **message}).encode()
            urllib.request.urlopen(base_url + "/control/send", data=body, timeout=20).close()
        # Each (channel, how it is sent, payload); cursor messages count only on "input".
        hide = '{"type":"cursor","x":0,"y":0,"visible":false}'
        noise = bytes(range(256)).hex() * 64
        invalid_utf8 = b'{"type":"cursor","x":1,"y":1,"visible":false,"n":"\xff\xfe"}'.hex()
        hostile = [("input", "text", "x" * (1 << 20)), ("input", "text", "[" * 100000),
                   ("input", "text", "[" * 30000 + "]" * 30000), ("input", "binary", noise),
                   ("input", "textBytes", invalid_utf8), ("input", "binary", invalid_utf8),
                   ("input-fast", "text", hide), ("microphone", "text", hide),
                   ("microphone", "binary", noise)] + [("input", "text", text) for text in [
                       '{"type":"cursor","x":"100","y":100,"visible":true}',
                       '{"type":"cursor","x":100,"y":100,"visible":1}',
                       '{"type":"cursor","x":4294967396,"y":5,"visible":true}',
                       '{"type":["cursor"],"x":0,"y":0}',
                       '{"type":"cursor","x":0,"y":0,"visible":false',
                       '[{"type":"cursor","x":0,"y":0,"visible":false}]', '"cursor"', "null", ""]]
        for label, kind, payload in hostile:
            send(label, **{kind: payload})
        # Two statistics lines later all of it has long arrived; the cursor has not moved.
        wait_decoding(client, what="pictures after the hostile messages")
        wait_decoding(client, what="more pictures after the hostile messages")
        self.assertEqual(cursor_at(screen.display), centre)
        # The channel still carries good messages, in order after all of the above.
        send("input", text='{"type":"cursor","x":16384,"y":16384,"visible":true}')
        moved = harness.wait_until(lambda: cursor_at(screen.display, not_at=centre),
                                   what="the cursor to move")
        self.assertLess(abs(moved[0] - 400), 20)  # in a 4:3 picture, 160 pixels in
        self.assertLess(abs(moved[1] - 180), 20)

        # And the client's own input still reaches the peer.
        def input_messages():
            screen.xdotool("mousemove", 400, 250, "mousemove", 500, 300)
            return [json.loads(r["text"]) for r in messages("input", "input-fast")]
        sent = harness.wait_until(input_messages, what="input messages at the offerer")
        self.assertTrue(all(isinstance(m.get("type"), str) for m in sent), sent)
        self.assertNotIn("peer_state=3", client.log_lines())

        offerer.send_signal(signal.SIGTERM)
        self.assertEqual(client.wait_exit(timeout=15), 0)
        self.assertTrue(any(l in client.log_lines() for l in ("peer_state=3", "peer_state=5")))


def unbundled_offer(sections):
    """An offer of that many audio sections, each on a transport of its own. The transport's
    attributes are given once, for the session, to stay below the client's cap on a reply."""
    sdp = ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=ice-ufrag:uuuu\r\n"
           f"a=ice-pwd:{'p' * 22}\r\na=fingerprint:sha-256 {':'.join(['AB'] * 32)}\r\n")
    return sdp + "".join(f"m=audio 9 UDP/TLS/RTP/SAVPF 111\r\na=mid:a{i}\r\na=setup:actpass\r\n"
                         "a=sendonly\r\na=rtcp-mux\r\na=rtpmap:111 opus/48000/2\r\n"
                         for i in range(sections))


def resources(pid):
    return len(os.listdir(f"/proc/{pid}/task")), len(os.listdir(f"/proc/{pid}/fd"))


class HostileServerTest(harness.EndToEndTest):

    def run_bounded(self, name, client, seconds):
        """Lets the client run that long within 64 threads and 200 descriptors; (start, end)."""
        start = resources(client.proc.pid)
        time.sleep(seconds)
        end = resources(client.proc.pid)
        print(f"[ figures ] {name}: threads {start[0]} -> {end[0]}, descriptors {start[1]} -> "
              f"{end[1]} over {seconds} s")
        self.assertLessEqual(end[0], 64)
        self.assertLessEqual(end[1], 200)
        return start, end

    def test_bounded_under_unbundled_400_audio_sections(self):
        events = {"events": [{"id": 1, "type": "local_description", "sdpType": "offer",
                              "sdp": unbundled_offer(400)}]}
        _, service, client = self.start_session(scenario={"rules": [
            {"method": "GET", "path": SESSION + "events", "prefix": True, "status": 200,
             "body": events}]})
        self.run_bounded("400 audio sections", client, 15)
        # The one section kept is reported at negotiation, without a packet.
        self.assertIn("audio_track_received", client.log_lines())
        answer = json.loads(service.requests(SESSION + "signal")[0]["body"])["sdp"]
        self.assertEqual(answer.count("m=audio 0 "), 399)
        self.assertEqual(client.stop(timeout=5), 0)

    def test_bounded_under_video_ssrc_changed_every_100_ms(self):
        # 20 s of the 60 s a player might see; the leak this guards grew 20 threads a second.
        _, base_url, _ = self.start_offerer("--ssrc-change-ms", "100")
        _, _, client = self.start_session(url=base_url)
        wait_decoding(client, more=1)
        start, end = self.run_bounded("SSRC changes", client, 20)
        wait_decoding(client, what="pictures at the end")
        self.assertGreater(checks.statistics(client)[-1]["audio"], 0)
        self.assertLessEqual(end[0], start[0] + 4, "threads grew")
        extra = [l for l in client.log_lines() if l.startswith("rtp_extra_ssrc=")]
        self.assertEqual(len(extra), 1, extra)  # told once, however often it changes
        self.assertEqual(client.stop(timeout=5), 0)

    def test_zero_window_peer_under_a_mouse_flood_is_left_behind_and_ends_the_session(self):
        _, base_url, _ = self.start_offerer("--zero-window")
        # AddressSanitizer holds freed memory back (256 MB by default), which would read as
        # growth here; with a small hold the figure means what it does without it.
        asan = os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=8"
        screen, _, client = self.start_session(url=base_url, env={"ASAN_OPTIONS": asan})
        wait_decoding(client, more=1)
        peak = start_rss = checks.resident_mb(client.proc.pid)
        moves = [arg for i in range(200) for arg in ("mousemove", 100 + i, 100 + i % 50)]
        began = time.monotonic()
        # Motion until the client gives the peer up: 10 s behind, then the session ends.
        while client.proc.poll() is None:
            screen.xdotool(*moves)
            peak = max(peak, checks.resident_mb(client.proc.pid))
            self.assertLess(time.monotonic() - began, 60, "the stall never ended it")
        print(f"[ figures ] zero-window peer: resident {start_rss:.1f} -> peak {peak:.1f} MB")
        self.assertEqual(client.wait_exit(), 0)
        lines = client.log_lines()
        self.assertTrue(any(l.startswith("data_channel_backlog=input-fast") for l in lines), lines)
        self.assertTrue(any(l.startswith("data_channel_stalled=") for l in lines), lines)
        self.assertIn("Session ended: the connection was lost, the server took no input for 10 s",
                      client.stdout())
        self.assertLess(peak - start_rss, 50, "memory grew behind the peer")


def with_picture_size(sps, width, height, references):
    """An H.264 Main-profile sequence parameter set (NAL header included) claiming another
    picture size and number of reference frames, everything else as it was."""
    bits = "".join(f"{b:08b}" for b in re.sub(b"\x00\x00\x03", b"\x00\x00", sps[1:]))
    assert bits[:8] == f"{77:08b}", "Main profile expected"

    def skip(at):  # past the unsigned Exp-Golomb number at `at`
        return at + 2 * (bits.index("1", at) - at) + 1

    def golomb(value):
        return f"{value + 1:b}".zfill(2 * len(f"{value + 1:b}") - 1)
    at = skip(skip(24))  # past profile, constraints, level, set id and the frame number's size
    at = skip(skip(at)) if bits[at] == "1" else skip(at)  # picture order count type 0: one more
    gaps = skip(at)  # the flag after the number of reference frames
    end = skip(skip(gaps + 1))  # past width and height in macroblocks
    out = (bits[:at] + golomb(references) + bits[gaps] + golomb(width // 16 - 1) +
           golomb(height // 16 - 1) + bits[end:bits.rindex("1")] + "1")
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


def exit_and_peak_mb(proc, timeout):
    """Waits at most timeout seconds for the process; its exit code and peak resident MB."""
    deadline = time.monotonic() + timeout
    while not (waited := os.wait4(proc.pid, os.WNOHANG))[0]:
        if time.monotonic() > deadline:
            raise AssertionError(f"client still running after {timeout} s")
        time.sleep(0.05)
    proc.returncode = os.waitstatus_to_exitcode(waited[1])
    return proc.returncode, waited[2].ru_maxrss / 1024


class EndlessBody(http.server.BaseHTTPRequestHandler):
    """Answers with a chunked body that never ends (for 20 s at most)."""
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        self.send_response(200)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        chunk = b"4000\r\n" + b" " * 0x4000 + b"\r\n"
        deadline = time.monotonic() + 20
        with contextlib.suppress(OSError):  # the client has gone
            while time.monotonic() < deadline:
                self.wfile.write(chunk)


class HostileStreamTest(harness.EndToEndTest):

    def test_endless_login_body_fails_at_its_limit_instead_of_filling_memory(self):
        client = self.start_client([self.serve(EndlessBody)], env={"SDL_VIDEODRIVER": "dummy"})
        code, peak_mb = exit_and_peak_mb(client.proc, 15)  # the request time-out is 10 s
        print(f"[ figures ] endless login body: peak resident {peak_mb:.1f} MB")
        self.assertEqual(code, 2)
        self.assertLess(peak_mb, 200)
        self.assertEqual(client.stderr().splitlines()[0], "Login failed: HTTP 0")
        self.assertIn("http_error=POST /auth/login: response body larger than 65536 bytes",
                      client.log_lines())

    def test_oversized_sequence_header_is_refused_within_bounded_memory(self):
        # 25 s of a stream claiming 16000x16000: refused once, a key frame asked for at most
        # once a second (the sender may come back with a size that fits), under 400 MB.
        line = "video_error=picture 16000x16000 refused"
        stream = crafted_stream(os.path.join(self.workdir, "oversized.h264"), 16000, 16000)
        _, _, client = self.start_session("--video", stream)
        started = time.monotonic()
        client.wait_log(lambda lines: any(l.startswith(line) for l in lines), timeout=30,
                        what=line)
        time.sleep(max(0.0, 25 - (time.monotonic() - started)))
        self.assertIsNone(client.proc.poll())
        signalled = time.monotonic()
        client.proc.send_signal(signal.SIGTERM)
        code, peak_mb = exit_and_peak_mb(client.proc, 5)
        lines = client.log_lines()
        requests = lines.count("keyframe_request")
        print(f"[ figures ] oversized sequence header: peak resident {peak_mb:.1f} MB over "
              f"{signalled - started:.1f} s, {requests} key-frame requests, ended "
              f"{time.monotonic() - signalled:.2f} s after SIGTERM")
        self.assertEqual(code, 0)
        self.assertLess(peak_mb, 400)
        errors = [l for l in lines if l.startswith("video_error=")]
        self.assertEqual(len(errors), 1, errors)
        self.assertTrue(errors[0].startswith(line), errors)
        self.assertGreaterEqual(requests, 1)
        self.assertLessEqual(requests, signalled - started + 1)


if __name__ == "__main__":
    harness.main()
