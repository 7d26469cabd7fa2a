// How the answering connection ends, and how it treats bad signaling.

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "PeerPair.hpp"

namespace {

using namespace rtctest;
using State = rtc::PeerConnection::State;

PairOptions smallStream() {
    PairOptions options;
    options.offerer.width = 320;
    options.offerer.height = 240;
    options.offerer.fps = 30;
    options.offerer.bitrate = 500'000;
    return options;
}

bool endedState(PeerPair& pair) {
    std::lock_guard lock(pair.observed.mutex);
    for (auto state : pair.observed.states) {
        if (state == State::Disconnected || state == State::Closed) {
            return true;
        }
    }
    return false;
}

TEST(PeerLifecycle, offererLeavingIsSeenWithinSeconds) {
    PeerPair pair(smallStream());
    pair.start();
    ASSERT_TRUE(waitFor([&] { return pair.connected() && pair.mediaFlowing(); }, 15s));

    auto left = std::chrono::steady_clock::now();
    pair.offerer->close();
    // The watch for silence ends it at the latest; a clean leave is seen much sooner.
    ASSERT_TRUE(waitFor([&] { return endedState(pair); }, 15s));
    auto seen = std::chrono::steady_clock::now() - left;
    std::printf("[ figures ] offerer close seen after %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(seen).count()));
    {
        std::lock_guard lock(pair.observed.mutex);
        // Reported once, and never followed by a stale Connected.
        auto& states = pair.observed.states;
        auto ended = std::find_if(states.begin(), states.end(), [](State state) {
            return state == State::Disconnected || state == State::Closed;
        });
        EXPECT_EQ(std::count(ended + 1, states.end(), State::Connected), 0);
        EXPECT_EQ(std::count(states.begin(), states.end(), *ended), 1);
        // Closed, not Disconnected: the offerer's goodbye was understood, rather than the
        // silence that follows it.
        EXPECT_EQ(*ended, State::Closed);
    }
}

TEST(PeerLifecycle, oneChannelClosedByTheOffererDoesNotEndTheSession) {
    PeerPair pair(smallStream());
    pair.start();
    ASSERT_TRUE(
        waitFor([&] { return pair.connected() && pair.observed.channelsOpened == 3; }, 15s));
    ASSERT_TRUE(pair.offerer->closeChannel("microphone"));
    auto microphone = pair.channel("microphone");
    ASSERT_TRUE(microphone);
    ASSERT_TRUE(waitFor([&] { return microphone->isClosed(); }));
    // The other channels still carry messages, so the session goes on.
    ASSERT_TRUE(pair.offerer->sendText("input", "still here"));
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(pair.observed.mutex);
        for (auto& [label, message] : pair.observed.messages) {
            auto* text = std::get_if<std::string>(&message);
            if (label == "input" && text && *text == "still here") {
                return true;
            }
        }
        return false;
    }));
    EXPECT_FALSE(endedState(pair));
    EXPECT_EQ(pair.answerer->state(), State::Connected);
}

TEST(PeerLifecycle, noCallbackRunsOnceCloseHasReturned) {
    PeerPair pair(smallStream());
    pair.start();
    ASSERT_TRUE(waitFor([&] { return pair.connected() && pair.mediaFlowing(); }, 15s));
    // Keep traffic coming towards the closing side.
    ASSERT_TRUE(waitFor([&] { return pair.observed.channelsOpened == 3; }));
    for (int i = 0; i < 20; ++i) {
        pair.offerer->sendText("input", "{}");
    }

    auto began = std::chrono::steady_clock::now();
    pair.answerer->close();
    auto took = std::chrono::steady_clock::now() - began;
    EXPECT_LT(took, 6s);
    EXPECT_EQ(pair.answerer->state(), State::Closed);
    auto atClose = pair.observed.callbacks.load();
    // Media and messages would keep arriving for a while if the gate leaked.
    for (int i = 0; i < 20; ++i) {
        pair.offerer->sendText("input", "{}");
    }
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(pair.observed.callbacks.load(), atClose);
    // Closing twice and then destroying returns at once.
    pair.answerer->close();
    pair.answerer.reset();
}

TEST(PeerLifecycle, closeFromInsideAFrameCallbackNeitherHangsNorCallsBack) {
    PeerPair pair(smallStream());
    std::atomic<bool> closedInside{false};
    std::atomic<int> framesAfterClose{0};
    pair.start();
    ASSERT_TRUE(waitFor([&] { return pair.track("audio") && pair.track("video"); }, 15s));
    std::shared_ptr<rtc::Track> video;
    {
        std::lock_guard lock(pair.observed.mutex);
        video = pair.observed.tracks.at("video");
    }
    video->onFrame([&](rtc::binary, rtc::FrameInfo) {
        if (closedInside) {
            ++framesAfterClose;
            return;
        }
        pair.answerer->close();
        closedInside = true;
    });
    ASSERT_TRUE(waitFor([&] { return closedInside.load(); }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(framesAfterClose, 0);
    EXPECT_FALSE(video->requestKeyframe());
}

TEST(PeerLifecycle, destroyingANeverConnectedConnectionReturnsPromptly) {
    auto began = std::chrono::steady_clock::now();
    {
        rtc::Configuration config;
        config.bindAddress = "127.0.0.1";
        rtc::PeerConnection connection(config);
        EXPECT_EQ(connection.state(), State::New);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
}

TEST(PeerLifecycle, badSignalingIsRefusedWithoutHarm) {
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
    EXPECT_THROW(connection.setRemoteDescription(rtc::Description("hello", "offer")),
                 std::invalid_argument);
    EXPECT_THROW(connection.setRemoteDescription(rtc::Description(
                     "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n", "offer")),
                 std::invalid_argument);
    // Shaped like an offer, but the engine cannot answer it (no ICE credentials, no
    // fingerprint).
    std::string broken =
        "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n"
        "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\na=mid:video\r\n"
        "a=rtpmap:96 H264/90000\r\na=sendonly\r\n";
    EXPECT_ANY_THROW(connection.setRemoteDescription(rtc::Description(broken, "offer")));
    // An answer is not something the answering side applies.
    EXPECT_THROW(connection.setRemoteDescription(rtc::Description(broken, "answer")),
                 std::invalid_argument);
    EXPECT_EQ(callbacks, 0);
    EXPECT_NE(connection.state(), State::Connected);
}

TEST(PeerLifecycle, unknownMidOfACandidateIsRefused) {
    PeerPair pair(smallStream());
    pair.start();
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(pair.observed.mutex);
        return pair.observed.answer.has_value();
    }));
    EXPECT_THROW(pair.answerer->addRemoteCandidate(rtc::Candidate(
                     "candidate:1 1 UDP 2015 127.0.0.1 5000 typ host", "nonexistent")),
                 std::invalid_argument);
    EXPECT_NO_THROW(pair.answerer->addRemoteCandidate(
        rtc::Candidate("candidate:1 1 UDP 2015 127.0.0.1 5000 typ host", "audio")));
}

// Offers may give every bundled section its own ICE credentials; only the first section's
// are real here, so the connection only comes up when the others are made to match.
TEST(PeerLifecycle, offerWithCredentialsPerBundledSectionConnects) {
    PairOptions options = smallStream();
    options.editOffer = [](std::string sdp) {
        auto first = sdp.find("a=ice-ufrag:");
        auto second = sdp.find("a=ice-ufrag:", first + 1);
        auto firstPwd = sdp.find("a=ice-pwd:");
        auto secondPwd = sdp.find("a=ice-pwd:", firstPwd + 1);
        if (second == std::string::npos || secondPwd == std::string::npos) {
            return sdp;
        }
        sdp.replace(secondPwd, sdp.find("\r\n", secondPwd) - secondPwd,
                    "a=ice-pwd:00000000000000000000000000000000");
        sdp.replace(second, sdp.find("\r\n", second) - second, "a=ice-ufrag:other");
        return sdp;
    };
    PeerPair pair(options);
    pair.start();
    ASSERT_TRUE(waitFor([&] { return pair.connected() && pair.mediaFlowing(5, 5); }, 15s));
    std::lock_guard lock(pair.offered.mutex);
    ASSERT_TRUE(pair.offered.offer);
    EXPECT_NE(pair.offered.offer->find("a=ice-ufrag:other"), std::string::npos);
}

}  // namespace
