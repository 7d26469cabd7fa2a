#!/usr/bin/python3
"""The aiortc offerer is a working peer: it serves its offer over the HTTP endpoints, takes an
answer through /webrtc/signal, connects on loopback, streams both tracks and carries a
data-channel message each way. Checked with an aiortc answerer, so the interop test with the
client starts from a known-good server."""

import asyncio
import json
import os
import subprocess
import sys
import time
import urllib.request

import aioice.ice
from aiortc import RTCConfiguration, RTCPeerConnection, RTCSessionDescription

HERE = os.path.dirname(os.path.abspath(__file__))
aioice.ice.get_host_addresses = lambda use_ipv4, use_ipv6: ["127.0.0.1"]


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


class Api:
    def __init__(self, base):
        self.base = base
        self.token = None

    def call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method)
        request.add_header("Content-Type", "application/json")
        if self.token is not None:
            request.add_header("Authorization", "Bearer " + self.token)
        with urllib.request.urlopen(request, timeout=20) as reply:
            return json.loads(reply.read())


def read_record(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


async def wait_for(condition, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        await asyncio.sleep(0.05)
    return condition()


async def answer(api, session_id, record_path):
    # An unauthenticated request is refused; login hands out the token.
    try:
        api.call("GET", "/game-sessions/active")
        fail("request without token was accepted")
    except urllib.error.HTTPError as error:
        if error.code != 401:
            fail("expected 401 without token, got %d" % error.code)
    api.token = api.call("POST", "/auth/login", {"email": "e", "password": "p"})["access_token"]
    if api.call("GET", "/game-sessions/active")["data"][0]["id"] != session_id:
        fail("active session id")
    prefix = "/game-sessions/%s/webrtc/" % session_id
    api.call("POST", prefix + "viewport", {"width": 1280, "height": 720, "codec": "h264",
                                             "autoBitrate": True, "bitrate": 12000000})
    if api.call("GET", prefix + "config") != {"iceServers": []}:
        fail("config")

    events = api.call("GET", prefix + "events?after=0&viewerId=native-1")["events"]
    if len(events) != 1 or events[0]["type"] != "local_description" or events[0]["id"] != 1:
        fail("expected one offer event, got %r" % events)
    offer = events[0]
    sdp = offer["sdp"]
    for needed in ("a=mid:audio", "a=mid:video", "opus/48000/2", "H264/90000",
                   "webrtc-datachannel"):
        if needed not in sdp:
            fail("offer lacks %s" % needed)
    for line in sdp.splitlines():
        if line.startswith("a=candidate:") and line.split()[4] != "127.0.0.1":
            fail("offer carries a non-loopback candidate: " + line)
    extmaps = {}
    for line in sdp.splitlines():
        if line.startswith("a=extmap:"):
            number, uri = line[len("a=extmap:"):].split()[:2]
            if extmaps.setdefault(number, uri) != uri:
                fail("header extension %s names two extensions" % number)
    if api.call("GET", prefix + "events?after=1&viewerId=native-1")["events"] != []:
        fail("events after the offer")

    pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))
    received = {"tracks": set(), "frames": set(), "messages": [], "keyframes": [],
                "videoFrames": 0}
    channels = {}

    @pc.on("track")
    def on_track(track):
        received["tracks"].add(track.kind)

        async def consume():
            try:
                while True:
                    frame = await track.recv()
                    received["frames"].add(track.kind)
                    if track.kind == "video" and frame.key_frame:
                        received["keyframes"].append(received["videoFrames"])
                    if track.kind == "video":
                        received["videoFrames"] += 1
            except Exception:
                pass

        asyncio.ensure_future(consume())

    @pc.on("datachannel")
    def on_datachannel(channel):
        channels[channel.label] = channel

        @channel.on("message")
        def on_message(message):
            received["messages"].append((channel.label, message))

    await pc.setRemoteDescription(RTCSessionDescription(sdp=sdp, type=offer["sdpType"]))
    await pc.setLocalDescription(await pc.createAnswer())
    api.call("POST", prefix + "signal", {"viewerId": "native-1", "type": "set_remote_description",
                                          "sdpType": pc.localDescription.type,
                                          "sdp": pc.localDescription.sdp})
    # A candidate off loopback is ignored rather than tried.
    api.call("POST", prefix + "signal", {
        "viewerId": "native-1", "type": "add_remote_candidate", "mid": "audio",
        "candidate": "candidate:1 1 udp 2130706431 192.0.2.1 9 typ host"})

    if not await wait_for(lambda: pc.connectionState == "connected"):
        fail("not connected: " + pc.connectionState)
    if not await wait_for(lambda: set(channels) == {"input", "input-fast", "microphone"}):
        fail("channels: %r" % sorted(channels))
    if not await wait_for(lambda: received["frames"] == {"audio", "video"}):
        fail("frames from %r" % received["frames"])
    if not await wait_for(lambda: ("input", '{"type":"cursor","x":100,"y":200,"visible":true}')
                          in received["messages"]):
        fail("no cursor message on input: %r" % received["messages"])

    # Key frames come by themselves at a steady interval, since aiortc ignores requests for
    # them. (Its encoder also restarts with a key frame when the bitrate estimate moves, so
    # only a steady spacing shows the interval.)
    if not await wait_for(lambda: received["videoFrames"] >= 100, 30):
        fail("only %d video frames" % received["videoFrames"])
    keys = [k for k in received["keyframes"] if k < 100]
    gaps = [b - a for a, b in zip(keys, keys[1:])] + [100 - keys[-1]]
    if keys[0] != 0 or max(gaps) > 35:
        fail("key frames at %r" % keys)

    channels["input"].send('{"type":"key","vk":65,"down":true}')
    channels["microphone"].send(b"MIC0\x01\x02")
    if not await wait_for(lambda: any(
            e["kind"] == "message" and e["label"] == "microphone" for e in read_record(record_path))):
        fail("offerer recorded no microphone message")
    record = read_record(record_path)
    texts = [e.get("text") for e in record if e["kind"] == "message" and e["label"] == "input"]
    if texts != ['{"type":"key","vk":65,"down":true}']:
        fail("offerer recorded %r on input" % texts)
    binaries = [e.get("binary") for e in record
                if e["kind"] == "message" and e["label"] == "microphone"]
    if binaries != [b"MIC0\x01\x02".hex()]:
        fail("offerer recorded %r on microphone" % binaries)
    if not any(e["kind"] == "state" and e["state"] == "connected" for e in record):
        fail("offerer did not record its connected state")
    await pc.close()


def main():
    build = os.environ.get("QV_BUILD_DIR", "/tmp")
    record_path = os.path.join(build, "aiortc-offerer-test.jsonl")
    if os.path.exists(record_path):
        os.remove(record_path)
    offerer = subprocess.Popen(
        ["/usr/bin/python3", os.path.join(HERE, "aiortc_offerer.py"), "--port", "0",
         "--record", record_path, "--session-id", "s-9"],
        stdout=subprocess.PIPE, text=True)
    try:
        line = offerer.stdout.readline()
        if not line.startswith("listening on 127.0.0.1:"):
            fail("offerer did not start: %r" % line)
        port = int(line.rsplit(":", 1)[1])
        asyncio.run(asyncio.wait_for(
            answer(Api("http://127.0.0.1:%d" % port), "s-9", record_path), 90))
    finally:
        offerer.terminate()
        try:
            offerer.wait(timeout=10)
        except subprocess.TimeoutExpired:
            offerer.kill()
    print("aiortc offerer: offer served, connected, both tracks and messages each way")


if __name__ == "__main__":
    main()
