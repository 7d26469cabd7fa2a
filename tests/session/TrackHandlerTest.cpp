#include <gtest/gtest.h>

#include "session/SignalingTestSupport.hpp"
#include "session/TrackHandler.hpp"
#include "support/FakeRtc.hpp"
#include "video/FrameQueue.hpp"

namespace {

TrackHandler::VideoSink sinkInto(FrameQueue& frames) {
    return [&frames](Bytes frame, std::uint32_t timestamp) {
        frames.push(std::move(frame), timestamp);
    };
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
    FrameQueue frames{stats};
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
    EXPECT_EQ(frames.size(), 0u) << "audio never reaches the video queue";
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

TEST_F(TrackHandlerTest, everyOtherMidIsVideoWithLongStartCodes) {
    for (const char* mid : {"video", "Audio", "AUDIO", "audio ", "audi", "audio1", "", "0"}) {
        SCOPED_TRACE(std::string("mid \"") + mid + "\"");
        signaling_test::TempLog localLog;  // a log each, since repeated lines collapse
        StreamStats localStats;
        FrameQueue localFrames(localStats);
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
        EXPECT_EQ(localFrames.tryPop(), bytes({0, 0, 0, 1, 0x65}));
        EXPECT_EQ(localStats.framesReceived.load(), 1u);
        EXPECT_EQ(localStats.bytesReceived.load(), 5u);
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

TEST_F(TrackHandlerTest, stalledConsumerKeepsTheNewestThreeFrames) {
    handler();
    auto video = arrive("video");
    std::uint64_t totalBytes = 0;
    for (int i = 0; i < 10; ++i) {
        video->deliver(rtc::binary(static_cast<std::size_t>(i + 1), std::byte(i)));
        totalBytes += i + 1;
    }
    EXPECT_EQ(stats.framesReceived.load(), 10u);
    EXPECT_EQ(stats.framesDropped.load(), 7u);
    EXPECT_EQ(stats.bytesReceived.load(), totalBytes);
    for (int i = 7; i < 10; ++i) {
        EXPECT_EQ(frames.tryPop(), rtc::binary(static_cast<std::size_t>(i + 1), std::byte(i)));
    }
    EXPECT_TRUE(frames.tryPop().empty());
}

TEST_F(TrackHandlerTest, keyframeRequestsReachTheCurrentVideoTrack) {
    auto& tracks = handler();
    EXPECT_FALSE(tracks.requestKeyframe()) << "no video track yet";
    arrive("audio");
    EXPECT_FALSE(tracks.requestKeyframe()) << "audio is not asked";

    auto first = arrive("video");
    auto second = arrive("1");  // a later video track replaces the first
    EXPECT_TRUE(tracks.requestKeyframe());
    EXPECT_EQ(first->keyframeRequests(), 0);
    EXPECT_EQ(second->keyframeRequests(), 1);

    second->keyframesSupported = false;
    EXPECT_FALSE(tracks.requestKeyframe());
}
