#include <gtest/gtest.h>

#include <algorithm>

#include "session/SignalingTestSupport.hpp"
#include "session/TrackHandler.hpp"
#include "support/FakeRtc.hpp"

namespace {

TrackHandler::VideoSink sinkInto(std::vector<EncodedFrame>& frames) {
    return [&frames](EncodedFrame frame) { frames.push_back(std::move(frame)); };
}

rtc::binary bytes(std::initializer_list<int> values) {
    rtc::binary data;
    for (int value : values) {
        data.push_back(static_cast<std::byte>(value));
    }
    return data;
}

class TrackHandlerTest : public testing::Test {
  protected:
    TrackHandler& handler(bool codecIsHevc = false) {
        trackHandler.emplace(log.log, stats, sinkInto(frames), codecIsHevc,
                             [this](const std::byte* data, std::size_t size) {
                                 played.emplace_back(data, data + size);
                                 if (throwFromPlayer) {
                                     throw std::runtime_error("device gone");
                                 }
                                 return size > 0 && data[0] != std::byte{0xff};
                             });
        trackHandler->attach(connection);
        return *trackHandler;
    }

    std::shared_ptr<fake::FakeTrack> arrive(const std::string& mid) {
        auto track = std::make_shared<fake::FakeTrack>(mid);
        EXPECT_TRUE(peer->emitTrack(fake::makeTrack(track)));
        return track;
    }

    std::shared_ptr<fake::FakePeer> peer = std::make_shared<fake::FakePeer>();
    rtc::PeerConnection connection{peer};
    signaling_test::TempLog log;
    StreamStats stats;
    std::vector<EncodedFrame> frames;
    std::vector<rtc::binary> played;
    bool throwFromPlayer = false;
    std::optional<TrackHandler> trackHandler;
};

}  // namespace

TEST_F(TrackHandlerTest, exactAudioMidFeedsThePlayerAtTheOpusClockRate) {
    auto& tracks = handler();
    auto audio = arrive("audio");

    auto depacketizer = std::dynamic_pointer_cast<rtc::RtpDepacketizer>(audio->mediaHandler());
    ASSERT_TRUE(depacketizer);
    EXPECT_EQ(depacketizer->clockRate, 48000u);
    EXPECT_FALSE(std::dynamic_pointer_cast<rtc::H264RtpDepacketizer>(audio->mediaHandler()));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"audio_track_received"});
    EXPECT_TRUE(tracks.audioTrack());
    EXPECT_FALSE(tracks.videoTrack());

    ASSERT_TRUE(audio->deliver(bytes({1, 2, 3})));
    EXPECT_EQ(played, std::vector<rtc::binary>{bytes({1, 2, 3})});
    EXPECT_EQ(stats.audioPacketsPlayed.load(), 1u);
    EXPECT_TRUE(frames.empty()) << "audio never reaches the video queue";
}

TEST_F(TrackHandlerTest, badAudioPacketCountsAsErrorAndTheNextOnePlays) {
    handler();
    auto audio = arrive("audio");
    audio->deliver(bytes({0xff, 0}));  // the player refuses it
    throwFromPlayer = true;
    audio->deliver(bytes({5}));  // a throwing player must not unwind into the engine
    throwFromPlayer = false;
    audio->deliver(bytes({7}));
    EXPECT_EQ(stats.audioErrors.load(), 2u);
    EXPECT_EQ(stats.audioPacketsPlayed.load(), 1u);
    EXPECT_EQ(stats.framesReceived.load(), 0u);
}

// The exact mids "audio" and "video" decide; any other mid goes by the section's media kind.
TEST_F(TrackHandlerTest, roleFollowsTheExactMidElseTheMediaKind) {
    const std::vector<std::tuple<const char*, const char*, TrackRole>> cases = {
        {"audio", "video", TrackRole::Audio}, {"video", "audio", TrackRole::Video},
        {"0", "audio", TrackRole::Audio},     {"1", "video", TrackRole::Video},
        {"Audio", "video", TrackRole::Video}, {"AUDIO", "audio", TrackRole::Audio},
        {"audio ", "", TrackRole::Video},     {"", "application", TrackRole::Video},
    };
    for (const auto& [mid, kind, role] : cases) {
        SCOPED_TRACE(std::string("mid \"") + mid + "\" kind " + kind);
        EXPECT_EQ(trackRole(mid, kind), role);
    }
    for (const char* mid : {"video", "Audio", "audio1", "", "0"}) {
        SCOPED_TRACE(std::string("mid \"") + mid + "\"");
        signaling_test::TempLog localLog;  // a log each, since repeated lines collapse
        StreamStats localStats;
        std::vector<EncodedFrame> localFrames;
        TrackHandler localHandler(localLog.log, localStats, sinkInto(localFrames), false,
                                  [](const std::byte*, std::size_t) { return true; });
        auto track = std::make_shared<fake::FakeTrack>(mid);
        localHandler(fake::makeTrack(track));

        auto h264 = std::dynamic_pointer_cast<rtc::H264RtpDepacketizer>(track->mediaHandler());
        ASSERT_TRUE(h264);
        EXPECT_EQ(h264->separator, rtc::NalUnit::Separator::LongStartSequence);
        EXPECT_FALSE(localHandler.audioTrack());
        EXPECT_TRUE(localHandler.videoTrack());

        track->deliver(bytes({0, 0, 0, 1, 0x65}));
        ASSERT_EQ(localFrames.size(), 1u);
        EXPECT_EQ(localFrames[0].data, bytes({0, 0, 0, 1, 0x65}));
        EXPECT_EQ(localLog.lines(), std::vector<std::string>{"video_track_received"});
    }
}

TEST_F(TrackHandlerTest, hevcPreferenceChoosesH265WhateverTheServerSends) {
    handler(true);
    auto video = arrive("video");
    auto h265 = std::dynamic_pointer_cast<rtc::H265RtpDepacketizer>(video->mediaHandler());
    ASSERT_TRUE(h265);
    EXPECT_EQ(h265->separator, rtc::NalUnit::Separator::LongStartSequence);
}

// The decode side needs to know which frames lost packets, in which order they came and when.
TEST_F(TrackHandlerTest, videoFramesCarryTheirTimestampDamageAndArrivalAndOversizedOnesStop) {
    handler();
    auto video = arrive("video");
    const auto before = EncodedFrame::Clock::now();
    video->deliver(bytes({0, 0, 0, 1, 0x41}), rtc::FrameInfo{3000, 96, true});
    video->deliver(bytes({0, 0, 0, 1, 0x41, 7}), rtc::FrameInfo{4500, 96, false});
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].timestamp, 3000u);
    EXPECT_TRUE(frames[0].damaged);
    EXPECT_EQ(frames[1].timestamp, 4500u);
    EXPECT_FALSE(frames[1].damaged);
    EXPECT_EQ(frames[1].data, bytes({0, 0, 0, 1, 0x41, 7}));
    EXPECT_GE(frames[0].arrival, before);
    EXPECT_LE(frames[0].arrival, frames[1].arrival);
    EXPECT_LE(frames[1].arrival, EncodedFrame::Clock::now());

    // Frames over the size bound come empty and go no further: one line, and one key-frame
    // request however many follow within the second.
    rtc::FrameInfo oversized{6000, 96, false};
    oversized.oversized = true;
    video->deliver({}, oversized);
    video->deliver({}, oversized);
    EXPECT_EQ(frames.size(), 2u);
    EXPECT_EQ(video->keyframeRequests(), 1);
    const auto lines = log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "video_error=frame larger than 8388608 bytes dropped"),
              1);
}

TEST_F(TrackHandlerTest, keyframeRequestsReachTheCurrentVideoTrack) {
    auto& tracks = handler();
    EXPECT_FALSE(tracks.requestKeyframe()) << "no video track yet";
    arrive("audio");
    EXPECT_FALSE(tracks.requestKeyframe()) << "audio is not asked";

    auto first = arrive("video");
    auto second = arrive("1");  // a later video track never replaces the live one
    EXPECT_TRUE(tracks.requestKeyframe());
    EXPECT_EQ(first->keyframeRequests(), 1);
    EXPECT_EQ(second->keyframeRequests(), 0);
    EXPECT_FALSE(second->mediaHandler());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"audio_track_received", "video_track_received"}));

    first->keyframesSupported = false;
    EXPECT_FALSE(tracks.requestKeyframe());

    first->stats.packetsLost = 4;
    first->stats.roundTripMs = 12.5;
    EXPECT_EQ(tracks.videoReceiveStats().packetsLost, 4u);
    EXPECT_EQ(tracks.videoReceiveStats().roundTripMs, 12.5);
}
