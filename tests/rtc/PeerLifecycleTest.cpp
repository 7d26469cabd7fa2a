// How the answering connection ends, and how it treats bad signaling. The offerer leaving
// (Closed, not the silence watch) is the end-to-end stream tests' part.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "PeerPair.hpp"

namespace {

using namespace rtctest;
using State = rtc::PeerConnection::State;

// A closed channel or a candidate for no section leaves the session be. close() from inside a
// frame callback neither hangs nor lets any callback run after it, though media and messages
// keep coming.
TEST(PeerLifecycle, sessionOutlivesAClosedChannelAndCloseSilencesEveryCallback) {
    PeerPair pair;
    pair.start();
    ASSERT_TRUE(
        waitFor([&] { return pair.mediaFlowing() && pair.observed.channelsOpened == 3; }, slow));
    const std::string host = "candidate:1 1 UDP 2015 127.0.0.1 5000 typ host";
    EXPECT_THROW(pair.answerer->addRemoteCandidate(rtc::Candidate(host, "nonexistent")),
                 std::invalid_argument);
    EXPECT_NO_THROW(pair.answerer->addRemoteCandidate(rtc::Candidate(host, "audio")));

    ASSERT_TRUE(pair.offerer->closeChannel("microphone"));
    auto microphone = pair.channel("microphone");
    ASSERT_TRUE(microphone);
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
        std::lock_guard lock(pair.observed.mutex);
        EXPECT_EQ(pair.observed.states, (std::vector{State::Connecting, State::Connected}));
    }
    EXPECT_EQ(pair.answerer->state(), State::Connected);

    std::atomic<bool> closed{false};
    std::atomic<std::uint64_t> atClose{0};
    std::atomic<int> framesAfterClose{0};
    auto video = pair.track("video");
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

// Someone on the media path answering the handshake with a certificate of their own: the
// connection fails instead of carrying the stream.
TEST(PeerLifecycle, certificateTheOfferDidNotAnnounceFailsTheConnection) {
    PairOptions options;
    options.editOffer = [](std::string offer) {
        std::string forged = "a=fingerprint:sha-256 ";
        for (int i = 0; i < 32; ++i) {
            forged += i ? ":AB" : "AB";
        }
        std::string out;
        std::istringstream lines(offer);
        for (std::string line; std::getline(lines, line);) {
            out += (line.rfind("a=fingerprint:", 0) == 0 ? forged + "\r" : line) + "\n";
        }
        EXPECT_NE(out, offer);
        return out;
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
