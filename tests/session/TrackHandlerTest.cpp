#include <gtest/gtest.h>

#include <algorithm>

#include "session/TrackHandler.hpp"
#include "support/FakeRtc.hpp"
#include "support/TempDir.hpp"

namespace {

rtc::binary bytes(std::initializer_list<int> values) {
    rtc::binary data;
    for (int value : values) {
        data.push_back(static_cast<std::byte>(value));
    }
    return data;
}

// A handler on a fake connection; its player refuses packets starting 0xff.
struct Tracks {
    explicit Tracks(bool codecIsHevc = false)
        : handler(
              log.log, stats, [this](EncodedFrame frame) { frames.push_back(std::move(frame)); },
              codecIsHevc,
              [this](const std::byte* data, std::size_t size) {
                  played.emplace_back(data, data + size);
                  if (throwFromPlayer) {
                      throw std::runtime_error("device gone");
                  }
                  return size > 0 && data[0] != std::byte{0xff};
              }) {
        handler.attach(connection);
    }

    std::shared_ptr<fake::FakeTrack> arrive(const std::string& mid) {
        auto track = std::make_shared<fake::FakeTrack>(mid);
        EXPECT_TRUE(peer->emitTrack(std::make_shared<rtc::Track>(track)));
        return track;
    }

    std::shared_ptr<fake::FakePeer> peer = std::make_shared<fake::FakePeer>();
    rtc::PeerConnection connection{peer};
    TempLog log;
    StreamStats stats;
    std::vector<EncodedFrame> frames;
    std::vector<rtc::binary> played;
    bool throwFromPlayer = false;
    TrackHandler handler;
};

}  // namespace

TEST(TrackHandler, audioFeedsThePlayerAtTheOpusClockRateAndBadPacketsCountAsErrors) {
    Tracks t;
    auto audio = t.arrive("audio");
    auto depacketizer = std::dynamic_pointer_cast<rtc::RtpDepacketizer>(audio->mediaHandler());
    ASSERT_TRUE(depacketizer);
    EXPECT_EQ(depacketizer->clockRate, 48000u);

    ASSERT_TRUE(audio->deliver(bytes({1, 2, 3})));
    audio->deliver(bytes({0xff, 0}));  // the player refuses it
    t.throwFromPlayer = true;
    audio->deliver(bytes({5}));  // a throwing player must not unwind into the engine
    t.throwFromPlayer = false;
    audio->deliver(bytes({7}));
    EXPECT_EQ(t.played.size(), 4u);
    EXPECT_EQ(t.played[0], bytes({1, 2, 3}));
    EXPECT_EQ(t.stats.audioPacketsPlayed.load(), 2u);
    EXPECT_EQ(t.stats.audioErrors.load(), 2u);
    EXPECT_TRUE(t.frames.empty()) << "audio never reaches the video queue";
}

TEST(TrackHandler, roleFollowsTheExactMidElseTheMediaKind) {
    const std::vector<std::tuple<const char*, const char*, TrackRole>> cases = {
        {"audio", "video", TrackRole::Audio}, {"video", "audio", TrackRole::Video},
        {"0", "audio", TrackRole::Audio},     {"1", "video", TrackRole::Video},
        {"Audio", "video", TrackRole::Video}, {"", "application", TrackRole::Video},
    };
    for (const auto& [mid, kind, role] : cases) {
        EXPECT_EQ(trackRole(mid, kind), role) << "mid \"" << mid << "\" kind " << kind;
    }
    // A video track, here by its kind, goes out in the codec asked for whatever the server
    // sends, with 4-byte start codes.
    for (bool hevc : {false, true}) {
        Tracks t(hevc);
        const auto handler = t.arrive("Audio")->mediaHandler();
        auto h264 = std::dynamic_pointer_cast<rtc::H264RtpDepacketizer>(handler);
        auto h265 = std::dynamic_pointer_cast<rtc::H265RtpDepacketizer>(handler);
        ASSERT_TRUE(hevc ? !!h265 : !!h264);
        EXPECT_EQ(hevc ? h265->separator : h264->separator,
                  rtc::NalUnit::Separator::LongStartSequence);
        EXPECT_FALSE(t.handler.audioTrack());
        EXPECT_TRUE(t.handler.videoTrack());
    }
}

// The decode side needs to know which frames lost packets, in which order they came and when.
TEST(TrackHandler, videoFramesCarryTheirTimestampDamageAndArrivalAndOversizedOnesStop) {
    Tracks t;
    auto video = t.arrive("video");
    const auto before = EncodedFrame::Clock::now();
    video->deliver(bytes({0, 0, 0, 1, 0x41}), rtc::FrameInfo{3000, 96, true, false, {}});
    video->deliver(bytes({0, 0, 0, 1, 0x41, 7}), rtc::FrameInfo{4500, 96, false, false, {}});
    ASSERT_EQ(t.frames.size(), 2u);
    EXPECT_EQ(t.frames[0].timestamp, 3000u);
    EXPECT_TRUE(t.frames[0].damaged);
    EXPECT_EQ(t.frames[1].timestamp, 4500u);
    EXPECT_FALSE(t.frames[1].damaged);
    EXPECT_EQ(t.frames[1].data, bytes({0, 0, 0, 1, 0x41, 7}));
    EXPECT_GE(t.frames[0].arrival, before);
    EXPECT_LE(t.frames[1].arrival, EncodedFrame::Clock::now());

    // Frames over the size bound come empty and go no further: one line, and one key-frame
    // request however many follow within the second.
    const rtc::FrameInfo oversized{6000, 96, false, true, {}};
    video->deliver({}, oversized);
    video->deliver({}, oversized);
    EXPECT_EQ(t.frames.size(), 2u);
    EXPECT_EQ(video->keyframeRequests(), 1);
    const auto lines = t.log.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "video_error=frame larger than 8388608 bytes dropped"),
              1);
}

TEST(TrackHandler, keyframeRequestsReachTheCurrentVideoTrack) {
    Tracks t;
    auto& tracks = t.handler;
    EXPECT_FALSE(tracks.requestKeyframe()) << "no video track yet";
    t.arrive("audio");
    EXPECT_FALSE(tracks.requestKeyframe()) << "audio is not asked";

    auto first = t.arrive("video");
    auto second = t.arrive("1");  // a later video track never replaces the live one
    EXPECT_TRUE(tracks.requestKeyframe());
    EXPECT_EQ(first->keyframeRequests(), 1);
    EXPECT_EQ(second->keyframeRequests(), 0);
    EXPECT_FALSE(second->mediaHandler());
    EXPECT_EQ(t.log.lines(),
              (std::vector<std::string>{"audio_track_received", "video_track_received"}));

    first->keyframesSupported = false;
    EXPECT_FALSE(tracks.requestKeyframe());

    first->stats.packetsLost = 4;
    EXPECT_EQ(tracks.videoReceiveStats().packetsLost, 4u);
}
