// The client's answering connection against the stand-in service's offering peer, both on
// loopback in one process: what it carries, how it ends, and how it treats bad signaling.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <regex>
#include <sstream>

#include "PeerPair.hpp"

namespace {

using namespace rtctest;
using State = rtc::PeerConnection::State;

// NAL unit types after each start code of an access unit, or {} unless it opens with a long one.
std::vector<int> nalTypes(const rtc::binary& frame, bool hevc) {
    std::vector<int> types;
    for (std::size_t i = 0; i + 4 < frame.size(); ++i) {
        if (frame[i] == std::byte{0} && frame[i + 1] == std::byte{0} &&
            frame[i + 2] == std::byte{0} && frame[i + 3] == std::byte{1}) {
            int header = std::to_integer<int>(frame[i + 4]);
            types.push_back(hevc ? (header >> 1) & 0x3f : header & 0x1f);
            i += 3;
        } else if (i == 0) {
            return {};
        }
    }
    return types;
}

// Offers may give every bundled section its own ICE credentials; only the first section's are
// real here, so the connection only comes up when the client makes the others match.
std::string credentialsPerSection(std::string sdp) {
    for (const std::string attribute : {"a=ice-ufrag:", "a=ice-pwd:"}) {
        auto second = sdp.find(attribute, sdp.find(attribute) + 1);
        EXPECT_NE(second, std::string::npos) << sdp;
        second += attribute.size();
        sdp.replace(second, sdp.find("\r\n", second) - second, "00000000000000000000000other");
    }
    return sdp;
}

// The receive buffer the kernel gives the UDP socket bound to this port, 0 if none.
long long receiveBufferOfPort(const std::string& port) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen("ss -u -a -m -n 2>/dev/null", "r"), pclose);
    std::string output(1 << 20, '\0');
    output.resize(pipe ? fread(output.data(), 1, output.size(), pipe.get()) : 0);
    std::smatch found;
    std::regex socket(":" + port + R"(\s[^\n]*\n\s*skmem:\([^)]*\brb(\d+))");
    return std::regex_search(output, found, socket) ? std::stoll(found[1]) : 0;
}

class PeerConnectionCodecTest : public testing::TestWithParam<bool> {};

// The whole road for one codec: answer and candidates, both tracks with their frames in the
// decoder's form, the three channels, a key-frame request that reaches the sender's encoder, and
// sockets sized for key-frame bursts. A closed channel or a candidate for no section leaves the
// session be; close() from inside a frame callback neither hangs nor lets any callback run after
// it, though media and messages keep coming. The offerer leaving is the end-to-end tests' part.
TEST_P(PeerConnectionCodecTest, carriesBothTracksAndClosesCleanly) {
    const bool hevc = GetParam();
    PairOptions options;
    options.offerer.hevc = hevc;
    options.codec = hevc ? rtc::VideoCodec::H265 : rtc::VideoCodec::H264;
    options.editOffer = credentialsPerSection;
    PeerPair pair(options);
    pair.start();
    EXPECT_EQ(pair.answerer->state(), State::New);
    ASSERT_TRUE(waitFor(
        [&] {
            return pair.observed.videoFrames >= 20 && pair.observed.audioFrames >= 20 &&
                   pair.observed.channelsOpened == 3;
        },
        slow))
        << "video " << pair.observed.videoFrames << " audio " << pair.observed.audioFrames;

    std::string port;
    {
        std::lock_guard lock(pair.observed.mutex);
        EXPECT_FALSE(pair.observed.setRemoteError) << *pair.observed.setRemoteError;
        const std::string answer = pair.observed.answer.value_or("");
        EXPECT_NE(answer.find(hevc ? "H265/90000" : "H264/90000"), std::string::npos) << answer;
        EXPECT_EQ(answer.find(hevc ? "H264/90000" : "H265/90000"), std::string::npos) << answer;
        for (const char* attribute : {"OPUS/48000", "nack pli", " rtx/90000", "a=recvonly"}) {
            EXPECT_NE(answer.find(attribute), std::string::npos) << attribute << "\n" << answer;
        }
        // candidate:<foundation> <component> <transport> <priority> <address> <port> ...
        for (const auto& candidate : pair.observed.candidates) {
            std::istringstream fields(candidate.candidate());
            std::string skip, transport, address, candidatePort;
            fields >> skip >> skip >> transport >> skip >> address >> candidatePort;
            EXPECT_EQ(address, "127.0.0.1") << candidate.candidate();
            if (port.empty() && (transport == "UDP" || transport == "udp")) {
                port = candidatePort;
            }
        }
        EXPECT_EQ(pair.observed.tracks.size(), 2u);
        bool sawKeyFrame = false;
        for (const auto& frame : pair.observed.firstVideoFrames) {
            auto types = nalTypes(frame, hevc);
            EXPECT_FALSE(types.empty()) << "not an access unit with long start codes";
            sawKeyFrame |= std::ranges::any_of(
                types, [&](int type) { return hevc ? type == 19 || type == 20 : type == 5; });
        }
        EXPECT_TRUE(sawKeyFrame) << pair.observed.firstVideoFrames.size() << " frames";
    }
    EXPECT_FALSE(port.empty());
    EXPECT_EQ(pair.observed.candidatesRefusedByOfferer, 0);
    // The connection's checking round raises it once ICE has chosen the socket.
    EXPECT_TRUE(waitFor(
        [&] {
            std::this_thread::sleep_for(100ms);
            return receiveBufferOfPort(port) >= 4 * 1024 * 1024;
        },
        10s))
        << "receive buffer of port " << port << ": " << receiveBufferOfPort(port);
    for (const char* label : {"input", "input-fast", "microphone"}) {
        auto channel = pair.channel(label);
        ASSERT_TRUE(channel && channel->isOpen()) << label;
    }

    // A key-frame request travels as PLI to the sender's encoder.
    auto video = pair.track("video");
    ASSERT_TRUE(video);
    auto before = pair.offerer->keyFramesForced();
    EXPECT_TRUE(video->requestKeyframe());
    EXPECT_TRUE(waitFor([&] { return pair.offerer->keyFramesForced() > before; }));

    const std::string host = "candidate:1 1 UDP 2015 127.0.0.1 5000 typ host";
    EXPECT_THROW(pair.answerer->addRemoteCandidate(rtc::Candidate(host, "nonexistent")),
                 std::invalid_argument);
    EXPECT_NO_THROW(pair.answerer->addRemoteCandidate(rtc::Candidate(host, "audio")));
    ASSERT_TRUE(pair.offerer->closeChannel("microphone"));
    auto microphone = pair.channel("microphone");
    ASSERT_TRUE(waitFor([&] { return microphone->isClosed(); }));
    EXPECT_FALSE(microphone->isOpen());
    EXPECT_FALSE(microphone->send(std::string("{}")));
    ASSERT_TRUE(pair.offerer->sendText("input", "still here"));
    const std::pair<std::string, rtc::message_variant> stillHere("input", "still here");
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(pair.observed.mutex);
        return std::ranges::count(pair.observed.messages, stillHere) == 1;
    }));
    {
        std::lock_guard lock(pair.observed.mutex);  // each change once, in order
        EXPECT_EQ(pair.observed.states, (std::vector{State::Connecting, State::Connected}));
    }
    EXPECT_EQ(pair.answerer->state(), State::Connected);

    std::atomic<bool> closed{false};
    std::atomic<std::uint64_t> atClose{0};
    std::atomic<int> framesAfterClose{0};
    video->onFrame([&](rtc::binary, rtc::FrameInfo) {
        if (closed) {
            ++framesAfterClose;
            return;
        }
        pair.answerer->close();
        atClose = pair.observed.callbacks.load();
        closed = true;
    });
    ASSERT_TRUE(waitFor([&] { return closed.load(); }, 10s));
    for (int i = 0; i < 20; ++i) {
        pair.offerer->sendText("input", "{}");
    }
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(pair.observed.callbacks.load(), atClose);
    EXPECT_EQ(framesAfterClose, 0);
    EXPECT_EQ(pair.answerer->state(), State::Closed);
    EXPECT_FALSE(video->requestKeyframe());
    // Closing again and then destroying returns at once.
    pair.answerer->close();
    pair.answerer.reset();
}

INSTANTIATE_TEST_SUITE_P(Codecs, PeerConnectionCodecTest, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Hevc" : "H264"; });

// The offer as a sender that cannot retransmit would make it: no rtx format.
std::string withoutRetransmission(const std::string& offer) {
    std::smatch rtx;
    EXPECT_TRUE(std::regex_search(offer, rtx, std::regex(R"(a=rtpmap:(\d+) rtx/90000)")));
    const std::string type = rtx[1];
    const std::regex lines("a=(rtpmap|fmtp):" + type + " [^\r]*\r\n|a=ssrc-group:FID[^\r]*\r\n");
    return std::regex_replace(std::regex_replace(offer, lines, ""),
                              std::regex("(m=video[^\r]*) " + type + "\r\n"), "$1\r\n");
}

class PeerConnectionLossTest : public testing::TestWithParam<bool> {};

// 5 % of the video packets lost on the way. With retransmission they come back and only a
// packet given up for good damages a frame; without it, the answer asks for nothing and the
// frames that lost packets are delivered as damaged.
TEST_P(PeerConnectionLossTest, lostPacketsAreRepairedWhenTheOfferRetransmitsElseFramesAreDamaged) {
    const bool retransmits = GetParam();
    PairOptions options;
    options.offerer.bitrate = 1'000'000;
    options.offerer.impairment.lossPercent = 5;
    options.offerer.impairment.seed = 7;
    if (!retransmits) {
        options.editOffer = withoutRetransmission;
    }
    PeerPair pair(options);
    pair.start();
    ASSERT_TRUE(waitFor([&] { return pair.observed.videoFrames >= 90; }, slow));
    auto video = pair.track("video");
    ASSERT_TRUE(video);
    const std::uint64_t damaged = pair.observed.damagedVideoFrames;
    const rtc::ReceiveStats stats = video->receiveStats();

    EXPECT_EQ(stats.retransmission, retransmits);
    EXPECT_EQ(pair.observed.videoFramesMistimed, 0u);
    EXPECT_GT(stats.packetsLost, 0u);
    if (retransmits) {
        EXPECT_GT(stats.packetsRetransmitted, 0u);
        EXPECT_LE(damaged, stats.packetsLost - stats.packetsRetransmitted);
    } else {
        EXPECT_EQ(stats.packetsRetransmitted, 0u);
        EXPECT_GT(damaged, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Retransmission, PeerConnectionLossTest, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Offered" : "NotOffered"; });

// Someone on the media path answering the handshake with a certificate of their own: the
// connection fails instead of carrying the stream.
TEST(PeerLifecycle, certificateTheOfferDidNotAnnounceFailsTheConnection) {
    PairOptions options;
    options.editOffer = [](std::string offer) {
        std::string forged = "a=fingerprint:sha-256 AB";
        for (int i = 1; i < 32; ++i) {
            forged += ":AB";
        }
        return std::regex_replace(offer, std::regex("a=fingerprint:[^\r]*"), forged);
    };
    PeerPair pair(options);
    pair.start();
    EXPECT_TRUE(waitFor(
        [&] {
            std::lock_guard lock(pair.observed.mutex);
            return std::ranges::count(pair.observed.states, State::Failed) == 1;
        },
        slow));
}

TEST(PeerLifecycle, badSignalingIsRefusedWithoutHarm) {
    auto began = std::chrono::steady_clock::now();
    {
        rtc::Configuration config;
        config.bindAddress = "127.0.0.1";
        rtc::PeerConnection connection(config);
        int callbacks = 0;
        connection.onLocalDescription([&](rtc::Description) { ++callbacks; });

        // A candidate before any description has no m-line to go to.
        EXPECT_THROW(connection.addRemoteCandidate(
                         rtc::Candidate("candidate:1 1 UDP 2015 127.0.0.1 5000 typ host", "video")),
                     std::invalid_argument);
        // Not a description at all, and one with no media.
        const std::string session = "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n";
        for (const std::string& text : {std::string("hello"), session}) {
            EXPECT_THROW(connection.setRemoteDescription(rtc::Description(text, "offer")),
                         std::invalid_argument);
        }
        // Shaped like an offer, but the engine cannot answer it (no ICE credentials, no
        // fingerprint); and an answer is not something the answering side applies.
        const std::string broken = session +
                                   "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\n"
                                   "a=mid:video\r\na=rtpmap:96 H264/90000\r\na=sendonly\r\n";
        EXPECT_ANY_THROW(connection.setRemoteDescription(rtc::Description(broken, "offer")));
        EXPECT_THROW(connection.setRemoteDescription(rtc::Description(broken, "answer")),
                     std::invalid_argument);
        EXPECT_EQ(callbacks, 0);
        EXPECT_NE(connection.state(), State::Connected);
    }
    // Destroying a connection that never connected does not wait on a peer.
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
}

}  // namespace
