#!/usr/bin/python3
"""An offering peer written with aiortc, serving the service's HTTP signaling endpoints itself.

It stands in for the game server in interop tests: the client logs in, finds the session,
polls the events and receives an offer with Opus audio (mid "audio"), H.264 video (mid
"video") and the data channels "input", "input-fast" and "microphone". Everything it does is
recorded as JSON lines (--record) so a test can check what crossed the connection.

Runs with Debian's python3-aiortc (1.4). Only loopback is ever used: ICE gathers on
127.0.0.1 alone and only the answerer's 127.0.0.1 candidates are taken.

For hostile-server tests, --numeric-mids keeps aiortc's own media ids "0" and "1", and
--ssrc-change-ms N gives the video sender a new SSRC every N ms (sequence numbers and
timestamps run on, as after a sender's restart that kept them).

For fault tests, POST /control/send (no token) sends one message on an open channel:
{"label": L, "text": T} as text, {"label": L, "binary": HEX} as binary, or
{"label": L, "textBytes": HEX} as a text message of exactly those bytes, valid UTF-8 or not.
"""

import argparse
import asyncio
import fractions
import json
import math
import signal
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import aioice.ice
import av
import av.logging
import numpy
from aiortc.utils import random32
from aiortc import (
    RTCConfiguration,
    RTCPeerConnection,
    RTCRtpSender,
    RTCSessionDescription,
)
from aiortc.codecs import HEADER_EXTENSIONS
from aiortc.mediastreams import AudioStreamTrack, VideoStreamTrack
import aiortc.codecs.h264
from aiortc.rtcrtpparameters import RTCRtpHeaderExtensionParameters
from aiortc.sdp import candidate_from_sdp

LOOPBACK = "127.0.0.1"
TOKEN = "aiortc-token"
KEYFRAME_INTERVAL = 30  # frames; aiortc ignores key-frame requests for H.264
VIDEO_SIZE = (640, 360)
VIDEO_RATE = 30


# aioice leaves 127.0.0.1 out when gathering; loopback is the only address we may use.
aioice.ice.get_host_addresses = lambda use_ipv4, use_ipv6: [LOOPBACK]

# aiortc numbers audio-level and abs-send-time both 2; under BUNDLE the answerer then reads
# one as the other and the session breaks once media flows. Give video's its own number.
HEADER_EXTENSIONS["video"] = [
    RTCRtpHeaderExtensionParameters(id=1, uri="urn:ietf:params:rtp-hdrext:sdes:mid"),
    RTCRtpHeaderExtensionParameters(
        id=3, uri="http://www.webrtc.org/experiments/rtp-hdrext/abs-send-time"
    ),
]


def _encoder_with_keyframes(codec_name, width, height, bitrate):
    # Same settings as aiortc's, always libx264, plus a fixed key-frame interval so an
    # answerer that joins late or loses a frame recovers without a PLI.
    codec = av.CodecContext.create("libx264", "w")
    codec.width = width
    codec.height = height
    codec.bit_rate = bitrate
    codec.pix_fmt = "yuv420p"
    codec.framerate = fractions.Fraction(VIDEO_RATE, 1)
    codec.time_base = fractions.Fraction(1, VIDEO_RATE)
    codec.gop_size = KEYFRAME_INTERVAL
    codec.options = {"profile": "baseline", "level": "31", "tune": "zerolatency"}
    codec.open()
    return codec, False


aiortc.codecs.h264.create_encoder_context = _encoder_with_keyframes


class Recorder:
    """JSON lines, one per event, flushed at once so a test can poll the file."""

    def __init__(self, path):
        self.lock = threading.Lock()
        self.out = open(path, "a", encoding="utf-8") if path else None

    def write(self, **event):
        event["time"] = time.time()
        line = json.dumps(event, sort_keys=True)
        with self.lock:
            if self.out:
                self.out.write(line + "\n")
                self.out.flush()
            else:
                print(line, flush=True)


class ToneTrack(AudioStreamTrack):
    """A 440 Hz tone, 20 ms per frame, 48 kHz stereo."""

    def __init__(self):
        super().__init__()
        self.samples = 0

    async def recv(self):
        frame = await super().recv()  # paced silence with the right timing
        count = frame.samples
        t = (numpy.arange(count) + self.samples) / frame.sample_rate
        self.samples += count
        tone = (numpy.sin(2 * math.pi * 440 * t) * 8000).astype(numpy.int16)
        data = numpy.repeat(tone, len(frame.layout.channels)).reshape(1, -1)
        out = av.AudioFrame.from_ndarray(data, format="s16", layout=frame.layout.name)
        out.sample_rate = frame.sample_rate
        out.pts = frame.pts
        out.time_base = frame.time_base
        return out


class MovingBarTrack(VideoStreamTrack):
    """A bright bar sweeping across a grey picture, so every frame differs."""

    def __init__(self):
        super().__init__()
        self.index = 0

    async def recv(self):
        pts, time_base = await self.next_timestamp()
        width, height = VIDEO_SIZE
        picture = numpy.full((height, width, 3), 64, dtype=numpy.uint8)
        x = (self.index * 8) % width
        picture[:, x : x + 32] = (240, 200, 40)
        self.index += 1
        frame = av.VideoFrame.from_ndarray(picture, format="rgb24")
        frame.pts = pts
        frame.time_base = time_base
        return frame


class RawText(str):
    """A text message whose bytes go out as given: aiortc encodes text with str.encode, so
    this is how a text message that is not valid UTF-8 reaches the wire."""

    def __new__(cls, raw):
        text = super().__new__(cls, raw.decode("utf-8", errors="replace"))
        text.raw = raw
        return text

    def encode(self, *args, **kwargs):
        return self.raw


def only_codec(kind, mime_type):
    return [c for c in RTCRtpSender.getCapabilities(kind).codecs if c.mimeType == mime_type]


def loopback_only(sdp):
    """Drops every candidate line that is not on 127.0.0.1."""
    lines = []
    for line in sdp.splitlines():
        if line.startswith("a=candidate:"):
            bits = line.split()
            if len(bits) < 8 or bits[4] != LOOPBACK:
                continue
        lines.append(line)
    return "\r\n".join(lines) + "\r\n"


def rename_mids(sdp, names):
    """Renames the media ids of the offer text, in the m-lines and the BUNDLE group."""
    out = []
    for line in sdp.splitlines():
        if line.startswith("a=mid:") and line[6:] in names:
            line = "a=mid:" + names[line[6:]]
        elif line.startswith("a=group:BUNDLE "):
            ids = line[len("a=group:BUNDLE ") :].split()
            line = "a=group:BUNDLE " + " ".join(names.get(i, i) for i in ids)
        out.append(line)
    return "\r\n".join(out) + "\r\n"


class OfferingPeer:
    def __init__(self, loop, recorder, input_message, numeric_mids=False, ssrc_change_ms=0,
                 zero_window=False):
        self.loop = loop
        self.zero_window = zero_window
        self.recorder = recorder
        self.input_message = input_message
        self.numeric_mids = numeric_mids
        self.ssrc_change_ms = ssrc_change_ms
        self.lock = threading.Lock()
        self.events = []  # numbered signaling events, oldest first
        self.pc = None
        self.offer_started = False
        self.channels = {}
        self.bundle_mid = "audio"

    # --- called from HTTP threads -------------------------------------------------------

    def events_after(self, after):
        with self.lock:
            start = not self.offer_started
            self.offer_started = True
        if start:
            asyncio.run_coroutine_threadsafe(self.offer(), self.loop).result(timeout=20)
        with self.lock:
            return [e for e in self.events if e["id"] > after]

    def signal(self, body):
        future = asyncio.run_coroutine_threadsafe(self.take_signal(body), self.loop)
        future.result(timeout=20)

    def send(self, body):
        future = asyncio.run_coroutine_threadsafe(self.send_message(body), self.loop)
        return future.result(timeout=20)

    # --- on the event loop --------------------------------------------------------------

    def publish(self, event):
        with self.lock:
            event["id"] = len(self.events) + 1
            self.events.append(event)

    async def offer(self):
        pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))
        self.pc = pc

        @pc.on("connectionstatechange")
        async def on_state():
            self.recorder.write(kind="state", state=pc.connectionState)
            if self.zero_window and pc.connectionState == "connected":
                asyncio.ensure_future(self.close_window(pc))

        audio = pc.addTransceiver(ToneTrack(), direction="sendonly")
        audio.setCodecPreferences(only_codec("audio", "audio/opus"))
        video = pc.addTransceiver(MovingBarTrack(), direction="sendonly")
        video.setCodecPreferences(only_codec("video", "video/H264"))

        self.open_channel(pc.createDataChannel("input"))
        self.open_channel(pc.createDataChannel("input-fast", ordered=False, maxRetransmits=0))
        self.open_channel(pc.createDataChannel("microphone"))

        offer = await pc.createOffer()
        # Mids set on the transceivers before createOffer would drop their sections, so the
        # offer text is renamed instead; setLocalDescription takes the mids from it.
        sdp = offer.sdp if self.numeric_mids else rename_mids(offer.sdp, {"0": "audio", "1": "video"})
        self.bundle_mid = "0" if self.numeric_mids else "audio"
        await pc.setLocalDescription(RTCSessionDescription(sdp=sdp, type="offer"))
        # No trickling: the candidates are in the description.
        self.publish(
            {"type": "local_description", "sdpType": "offer", "sdp": pc.localDescription.sdp}
        )
        self.recorder.write(kind="offer", sdp=pc.localDescription.sdp)
        if self.ssrc_change_ms:
            asyncio.ensure_future(self.change_ssrc(video.sender))

    async def close_window(self, pc):
        # A peer whose receive window closes: it advertises no room (aiortc keeps the room
        # left, floored at 0) and takes no more data, though its association stays alive.
        # Acknowledging each zero-window probe would let one chunk through per round trip.
        await asyncio.sleep(1)

        async def take_nothing(chunk):
            pass
        pc.sctp._advertised_rwnd = -(1 << 40)
        pc.sctp._receive_data_chunk = take_nothing
        self.recorder.write(kind="zero_window")

    async def change_ssrc(self, sender):
        while self.pc is not None:
            await asyncio.sleep(self.ssrc_change_ms / 1000)
            sender._ssrc = random32()

    def open_channel(self, channel):
        label = channel.label
        self.channels[label] = channel

        @channel.on("open")
        def on_open():
            self.recorder.write(kind="channel_open", label=label)
            if label == "input":
                channel.send(self.input_message)
                self.recorder.write(kind="sent", label=label, data=self.input_message)

        @channel.on("message")
        def on_message(message):
            if isinstance(message, bytes):
                self.recorder.write(kind="message", label=label, binary=message.hex())
            else:
                self.recorder.write(kind="message", label=label, text=message)

    async def send_message(self, body):
        label = body.get("label")
        channel = self.channels.get(label)
        if channel is None or channel.readyState != "open":
            raise ValueError("channel %r is not open" % label)
        if "text" in body:
            data = body["text"]
            length = len(data.encode("utf-8"))
        elif "binary" in body:
            data = bytes.fromhex(body["binary"])
            length = len(data)
        else:
            data = RawText(bytes.fromhex(body["textBytes"]))
            length = len(data.raw)
        channel.send(data)
        # Lengths only: a test's huge messages would swell the record.
        self.recorder.write(kind="sent", label=label, length=length,
                            binary="binary" in body)
        return {"sent": length}

    async def take_signal(self, body):
        kind = body.get("type")
        self.recorder.write(kind="signal", body=body)
        if self.pc is None:
            raise ValueError("no offer yet")
        if kind == "set_remote_description":
            answer = RTCSessionDescription(sdp=loopback_only(body["sdp"]), type=body["sdpType"])
            await self.pc.setRemoteDescription(answer)
        elif kind == "add_remote_candidate":
            text = body["candidate"]
            if text.startswith("candidate:"):
                text = text[len("candidate:") :]
            candidate = candidate_from_sdp(text)
            if candidate.ip != LOOPBACK:
                return
            # Everything is bundled on the first section's transport.
            candidate.sdpMid = self.bundle_mid
            await self.pc.addIceCandidate(candidate)
        else:
            raise ValueError("unknown signal type %r" % kind)

    async def close(self):
        if self.pc is not None:
            await self.pc.close()


class Service:
    def __init__(self, peer, recorder, session_id):
        self.peer = peer
        self.recorder = recorder
        self.session_id = session_id
        self.bitrate = None

    def handle(self, method, path, body, authorization):
        url = urllib.parse.urlsplit(path)
        query = urllib.parse.parse_qs(url.query)
        route = url.path
        if method == "POST" and route == "/auth/login":
            if not isinstance(body, dict) or "email" not in body or "password" not in body:
                return 400, {"error": "email and password required"}
            self.recorder.write(kind="login", email=body["email"])
            return 200, {"access_token": TOKEN}
        if method == "POST" and route == "/control/send":
            if not isinstance(body, dict):
                return 400, {"error": "expected an object"}
            return 200, self.peer.send(body)
        if authorization != "Bearer " + TOKEN:
            return 401, {"error": "unauthorized"}
        if method == "GET" and route == "/game-sessions/active":
            return 200, {"data": [{"id": self.session_id}]}
        prefix = "/game-sessions/" + self.session_id + "/webrtc/"
        if route.startswith(prefix):
            action = route[len(prefix) :]
            if method == "POST" and action == "viewport":
                self.recorder.write(kind="viewport", body=body)
                return 200, {}
            if method == "GET" and action == "config":
                return 200, {"iceServers": []}
            if method == "GET" and action == "events":
                after = int(query.get("after", ["0"])[0])
                return 200, {"events": self.peer.events_after(after)}
            if method == "POST" and action == "signal":
                self.peer.signal(body)
                return 200, {}
            if method == "POST" and action == "telemetry":
                self.recorder.write(kind="telemetry", body=body)
                if isinstance(body, dict) and isinstance(body.get("availableBitrate"), int):
                    return 200, {"bitrate": body["availableBitrate"]}
                return 200, {}
        if method == "GET" and route == "/diagnostics/ping":
            return 200, {}
        if method == "GET" and route == "/diagnostics/status":
            return 200, {"status": "ok"}
        return 404, {"error": "not found"}


def make_handler(service):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def respond(self, method):
            length = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(length) if length else b""
            try:
                body = json.loads(raw) if raw else None
            except ValueError:
                self.reply(400, {"error": "body is not JSON"})
                return
            try:
                status, reply = service.handle(
                    method, self.path, body, self.headers.get("Authorization")
                )
            except Exception as error:  # a bad request must not take the server down
                status, reply = 500, {"error": str(error)}
            self.reply(status, reply)

        def reply(self, status, value):
            data = json.dumps(value).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self):
            self.respond("GET")

        def do_POST(self):
            self.respond("POST")

        def log_message(self, format, *args):
            pass

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8080, help="HTTP port on 127.0.0.1; 0 picks one")
    parser.add_argument("--session-id", default="aiortc-session")
    parser.add_argument("--record", help="file for the JSON-lines record (default: stdout)")
    parser.add_argument(
        "--input-message",
        default='{"type":"cursor","x":100,"y":200,"visible":true}',
        help='text sent once on "input" when it opens',
    )
    parser.add_argument("--numeric-mids", action="store_true", help='media ids "0" and "1"')
    parser.add_argument("--ssrc-change-ms", type=int, default=0,
                        help="a new video SSRC this often (0: never)")
    parser.add_argument("--zero-window", action="store_true",
                        help="advertise a zero receive window a second after connecting")
    parser.add_argument("--seconds", type=float, default=0, help="stop after this long (0: never)")
    args = parser.parse_args()

    av.logging.set_level(av.logging.ERROR)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    recorder = Recorder(args.record)
    peer = OfferingPeer(loop, recorder, args.input_message, args.numeric_mids,
                        args.ssrc_change_ms, args.zero_window)
    service = Service(peer, recorder, args.session_id)
    server = ThreadingHTTPServer((LOOPBACK, args.port), make_handler(service))
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    # The one line on stdout a test waits for, whatever --record says.
    print("listening on %s:%d" % (LOOPBACK, server.server_address[1]), flush=True)

    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)

    async def run():
        try:
            await asyncio.wait_for(stop.wait(), args.seconds if args.seconds > 0 else None)
        except asyncio.TimeoutError:
            pass

    try:
        loop.run_until_complete(run())
    finally:
        server.shutdown()
        loop.run_until_complete(peer.close())
        loop.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
