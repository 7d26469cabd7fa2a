#!/usr/bin/python3
"""An offering peer written with aiortc, serving the service's HTTP signaling endpoints itself.

It stands in for the game server: the client logs in, finds the session, polls the events and
receives an offer with Opus audio and H.264 video under aiortc's own media ids "0" and "1"
(not "audio" and "video" as the service names them) and the data channels "input",
"input-fast" and "microphone". Once "input" opens it sends a cursor message for the middle of
the picture. Every message the client sends is recorded as a JSON line.

POST /control/send (no token) sends one message on an open channel: {"label": L, "text": T}
as text, {"label": L, "binary": HEX} as binary, or {"label": L, "textBytes": HEX} as a text
message of exactly those bytes, valid UTF-8 or not.

Runs with Debian's python3-aiortc (1.4). ICE gathers on 127.0.0.1 alone and only the
answerer's 127.0.0.1 candidates are taken.
"""

import argparse
import asyncio
import fractions
import json
import signal
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import aioice.ice
import aiortc.codecs.h264
import av
import av.logging
import numpy
from aiortc import RTCConfiguration, RTCPeerConnection, RTCRtpSender, RTCSessionDescription
from aiortc.codecs import HEADER_EXTENSIONS
from aiortc.mediastreams import AudioStreamTrack, VideoStreamTrack
from aiortc.rtcrtpparameters import RTCRtpHeaderExtensionParameters
from aiortc.sdp import candidate_from_sdp
from aiortc.utils import random32

LOOPBACK = "127.0.0.1"
TOKEN = "aiortc-token"
SESSION_ID = "s-aiortc"
CURSOR_MESSAGE = '{"type":"cursor","x":32768,"y":32768,"visible":true}'
VIDEO_SIZE = (640, 360)
VIDEO_RATE = 30

# aioice leaves 127.0.0.1 out when gathering; loopback is the only address we may use.
aioice.ice.get_host_addresses = lambda use_ipv4, use_ipv6: [LOOPBACK]

# aiortc numbers audio-level and abs-send-time both 2; under BUNDLE the answerer then reads
# one as the other and the session breaks once media flows. Give video's its own number.
HEADER_EXTENSIONS["video"] = [
    RTCRtpHeaderExtensionParameters(id=1, uri="urn:ietf:params:rtp-hdrext:sdes:mid"),
    RTCRtpHeaderExtensionParameters(
        id=3, uri="http://www.webrtc.org/experiments/rtp-hdrext/abs-send-time"),
]


def _encoder_with_keyframes(codec_name, width, height, bitrate):
    # aiortc ignores key-frame requests for H.264: a fixed interval lets a late or lossy
    # answerer recover.
    codec = av.CodecContext.create("libx264", "w")
    codec.width, codec.height, codec.bit_rate = width, height, bitrate
    codec.pix_fmt = "yuv420p"
    codec.framerate = fractions.Fraction(VIDEO_RATE, 1)
    codec.time_base = fractions.Fraction(1, VIDEO_RATE)
    codec.gop_size = VIDEO_RATE
    codec.options = {"profile": "baseline", "level": "31", "tune": "zerolatency"}
    codec.open()
    return codec, False


aiortc.codecs.h264.create_encoder_context = _encoder_with_keyframes


class MovingBarTrack(VideoStreamTrack):
    """A bright bar sweeping across a grey picture, so every frame differs."""

    index = 0

    async def recv(self):
        pts, time_base = await self.next_timestamp()
        width, height = VIDEO_SIZE
        picture = numpy.full((height, width, 3), 64, dtype=numpy.uint8)
        x = (self.index * 8) % width
        picture[:, x:x + 32] = (240, 200, 40)
        self.index += 1
        frame = av.VideoFrame.from_ndarray(picture, format="rgb24")
        frame.pts, frame.time_base = pts, time_base
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
    return "\r\n".join(line for line in sdp.splitlines()
                       if not line.startswith("a=candidate:") or f" {LOOPBACK} " in line) + "\r\n"


class OfferingPeer:
    def __init__(self, loop, record, options):
        self.loop = loop
        self.record = open(record, "a", encoding="utf-8")
        self.options = options
        self.lock = threading.Lock()
        self.events = []  # numbered signaling events, oldest first
        self.pc = None
        self.offer_started = False
        self.channels = {}

    def write(self, **event):
        with self.lock:
            self.record.write(json.dumps(event, sort_keys=True) + "\n")
            self.record.flush()

    def run(self, coroutine):
        """Runs a coroutine on the event loop for an HTTP thread and returns its result."""
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(timeout=20)

    def events_after(self, after):
        with self.lock:
            start, self.offer_started = not self.offer_started, True
        if start:
            self.run(self.offer())
        with self.lock:
            return [e for e in self.events if e["id"] > after]

    async def offer(self):
        pc = self.pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))

        @pc.on("connectionstatechange")
        async def on_state():
            if self.options.zero_window and pc.connectionState == "connected":
                asyncio.ensure_future(self.close_window(pc))

        audio = pc.addTransceiver(AudioStreamTrack(), direction="sendonly")  # paced silence
        audio.setCodecPreferences(only_codec("audio", "audio/opus"))
        video = pc.addTransceiver(MovingBarTrack(), direction="sendonly")
        video.setCodecPreferences(only_codec("video", "video/H264"))
        self.open_channel(pc.createDataChannel("input"))
        self.open_channel(pc.createDataChannel("input-fast", ordered=False, maxRetransmits=0))
        self.open_channel(pc.createDataChannel("microphone"))

        await pc.setLocalDescription(await pc.createOffer())
        # No trickling: the candidates are in the description.
        with self.lock:
            self.events.append({"id": 1, "type": "local_description", "sdpType": "offer",
                                "sdp": pc.localDescription.sdp})
        if self.options.ssrc_change_ms:
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

    async def change_ssrc(self, sender):
        # Sequence numbers and timestamps run on, as after a sender's restart that kept them.
        while self.pc is not None:
            await asyncio.sleep(self.options.ssrc_change_ms / 1000)
            sender._ssrc = random32()

    def open_channel(self, channel):
        label = channel.label
        self.channels[label] = channel

        @channel.on("open")
        def on_open():
            if label == "input":
                channel.send(CURSOR_MESSAGE)

        @channel.on("message")
        def on_message(message):
            data = {"binary": message.hex()} if isinstance(message, bytes) else {"text": message}
            self.write(kind="message", label=label, **data)

    async def send(self, body):
        channel = self.channels.get(body.get("label"))
        if channel is None or channel.readyState != "open":
            raise ValueError(f"channel {body.get('label')!r} is not open")
        if "text" in body:
            channel.send(body["text"])
        elif "binary" in body:
            channel.send(bytes.fromhex(body["binary"]))
        else:
            channel.send(RawText(bytes.fromhex(body["textBytes"])))
        return {}

    async def take_signal(self, body):
        if body.get("type") == "set_remote_description":
            answer = RTCSessionDescription(sdp=loopback_only(body["sdp"]), type=body["sdpType"])
            await self.pc.setRemoteDescription(answer)
            return
        candidate = candidate_from_sdp(body["candidate"].removeprefix("candidate:"))
        if candidate.ip == LOOPBACK:
            candidate.sdpMid = "0"  # everything is bundled on the first transport
            await self.pc.addIceCandidate(candidate)


def handle(peer, method, path, body, authorization):
    url = urllib.parse.urlsplit(path)
    if method == "POST" and url.path == "/auth/login":
        return 200, {"access_token": TOKEN}
    if method == "POST" and url.path == "/control/send":
        return 200, peer.run(peer.send(body))
    if authorization != "Bearer " + TOKEN:
        return 401, {"error": "unauthorized"}
    if url.path == "/game-sessions/active":
        return 200, {"data": [{"id": SESSION_ID}]}
    action = url.path.removeprefix(f"/game-sessions/{SESSION_ID}/webrtc/")
    if action == "events":
        after = int(urllib.parse.parse_qs(url.query).get("after", ["0"])[0])
        return 200, {"events": peer.events_after(after)}
    if action == "signal":
        peer.run(peer.take_signal(body))
        return 200, {}
    if action == "telemetry":
        return 200, {"bitrate": body["availableBitrate"]}
    if action == "config":
        return 200, {"iceServers": []}
    if action == "viewport":
        return 200, {}
    return 404, {"error": "not found"}


def make_handler(peer):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def respond(self):
            length = int(self.headers.get("Content-Length") or 0)
            try:
                body = json.loads(self.rfile.read(length)) if length else None
                status, reply = handle(peer, self.command, self.path, body,
                                       self.headers.get("Authorization"))
            except Exception as error:  # a bad request must not take the server down
                status, reply = 500, {"error": str(error)}
            data = json.dumps(reply).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        do_GET = do_POST = respond

        def log_message(self, format, *args):
            pass

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--record", required=True, help="file for the JSON-lines record")
    parser.add_argument("--ssrc-change-ms", type=int, default=0,
                        help="a new video SSRC this often (0: never)")
    parser.add_argument("--zero-window", action="store_true",
                        help="advertise a zero receive window a second after connecting")
    options = parser.parse_args()

    av.logging.set_level(av.logging.ERROR)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    peer = OfferingPeer(loop, options.record, options)
    server = ThreadingHTTPServer((LOOPBACK, 0), make_handler(peer))
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("listening on %s:%d" % (LOOPBACK, server.server_address[1]), flush=True)

    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    try:
        loop.run_until_complete(stop.wait())
    finally:
        server.shutdown()
        if peer.pc is not None:
            loop.run_until_complete(peer.pc.close())
        loop.close()


if __name__ == "__main__":
    main()
