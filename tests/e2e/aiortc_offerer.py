#!/usr/bin/python3
"""An offering peer written with aiortc (Debian's 1.4), serving the signaling endpoints itself.

It offers Opus audio, aiortc's green 640x480 H.264 video and the data channels "input",
"input-fast" and "microphone", on 127.0.0.1 only; once "input" opens it centres the cursor.
Every message the client sends is recorded as a JSON line. POST /control/send sends
{"label": L} with "text": T, "binary": HEX or "textBytes": HEX (a text message of exactly those
bytes, UTF-8 or not).
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


class RawText(str):
    """Text sent as the bytes in its raw attribute, UTF-8 or not: aiortc sends text through
    str.encode (and an empty text as such)."""

    def encode(self, *args, **kwargs):
        return self.raw


def only_codec(kind, mime_type):
    return [c for c in RTCRtpSender.getCapabilities(kind).codecs if c.mimeType == mime_type]


class OfferingPeer:
    def __init__(self, loop, options):
        self.loop = loop
        self.record = open(options.record, "a", encoding="utf-8")
        self.options = options
        self.lock = threading.Lock()
        self.offer_sdp = None  # made at the first poll
        self.pc = None
        self.channels = {}

    def run(self, coroutine):  # from an HTTP thread
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(timeout=20)

    async def offer(self):
        pc = self.pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))

        @pc.on("connectionstatechange")
        async def on_state():
            if self.options.zero_window and pc.connectionState == "connected":
                asyncio.ensure_future(self.close_window(pc))

        audio = pc.addTransceiver(AudioStreamTrack(), direction="sendonly")  # paced silence
        audio.setCodecPreferences(only_codec("audio", "audio/opus"))
        video = pc.addTransceiver(VideoStreamTrack(), direction="sendonly")
        video.setCodecPreferences(only_codec("video", "video/H264"))
        self.open_channel(pc.createDataChannel("input"))
        self.open_channel(pc.createDataChannel("input-fast", ordered=False, maxRetransmits=0))
        self.open_channel(pc.createDataChannel("microphone"))
        await pc.setLocalDescription(await pc.createOffer())
        if self.options.ssrc_change_ms:
            asyncio.ensure_future(self.change_ssrc(video.sender))
        return pc.localDescription.sdp  # no trickling: the candidates are in it

    async def close_window(self, pc):
        # A peer whose receive window closes: it advertises no room (aiortc keeps the room
        # left, floored at 0) and takes no more data, though its association stays alive.
        # Acknowledging each zero-window probe would let one chunk through per round trip.
        await asyncio.sleep(1)
        pc.sctp._advertised_rwnd = -(1 << 40)
        pc.sctp._receive_data_chunk = lambda chunk: asyncio.sleep(0)  # awaited, takes nothing

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
            self.record.write(json.dumps({"label": label, **data}) + "\n")
            self.record.flush()

    async def send(self, body):
        channel = self.channels[body["label"]]  # aiortc refuses to send on a channel not open
        if "text" in body:
            channel.send(body["text"])
        elif "binary" in body:
            channel.send(bytes.fromhex(body["binary"]))
        else:
            text = RawText(body["textBytes"])
            text.raw = bytes.fromhex(body["textBytes"])
            channel.send(text)
        return {}

    async def take_signal(self, body):
        if body.get("type") == "set_remote_description":
            sdp = "\r\n".join(l for l in body["sdp"].splitlines() if not l.startswith(
                "a=candidate:") or f" {LOOPBACK} " in l) + "\r\n"
            await self.pc.setRemoteDescription(RTCSessionDescription(sdp, body["sdpType"]))
            return
        candidate = candidate_from_sdp(body["candidate"].removeprefix("candidate:"))
        if candidate.ip == LOOPBACK:
            candidate.sdpMid = "0"  # everything is bundled on the first transport
            await self.pc.addIceCandidate(candidate)

    def handle(self, method, path, body, authorization):
        url = urllib.parse.urlsplit(path)
        if method == "POST" and url.path == "/auth/login":
            return 200, {"access_token": TOKEN}
        if method == "POST" and url.path == "/control/send":
            return 200, self.run(self.send(body))
        if authorization != "Bearer " + TOKEN:
            return 401, {"error": "unauthorized"}
        if url.path == "/game-sessions/active":
            return 200, {"data": [{"id": SESSION_ID}]}
        action = url.path.removeprefix(f"/game-sessions/{SESSION_ID}/webrtc/")
        if action == "events":
            with self.lock:
                if self.offer_sdp is None:
                    self.offer_sdp = self.run(self.offer())
            after = int(urllib.parse.parse_qs(url.query).get("after", ["0"])[0])
            return 200, {"events": [{"id": 1, "type": "local_description", "sdpType": "offer",
                                     "sdp": self.offer_sdp}] if after < 1 else []}
        if action == "signal":
            self.run(self.take_signal(body))
            return 200, {}
        if action == "telemetry":
            return 200, {"bitrate": body["availableBitrate"]}
        if action == "config":
            return 200, {"iceServers": []}
        return (200, {}) if action == "viewport" else (404, {"error": "not found"})


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def respond(self):
        length = int(self.headers.get("Content-Length") or 0)
        try:
            body = json.loads(self.rfile.read(length)) if length else None
            status, reply = self.server.peer.handle(self.command, self.path, body,
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--record", required=True)
    parser.add_argument("--ssrc-change-ms", type=int, default=0)  # a new video SSRC this often
    parser.add_argument("--zero-window", action="store_true")  # a second after connecting
    options = parser.parse_args()

    av.logging.set_level(av.logging.ERROR)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = ThreadingHTTPServer((LOOPBACK, 0), Handler)
    server.daemon_threads = True
    server.peer = OfferingPeer(loop, options)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("listening on %s:%d" % (LOOPBACK, server.server_address[1]), flush=True)

    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    try:
        loop.run_until_complete(stop.wait())
    finally:
        server.shutdown()
        if server.peer.pc is not None:
            loop.run_until_complete(server.peer.pc.close())
        loop.close()


if __name__ == "__main__":
    main()
