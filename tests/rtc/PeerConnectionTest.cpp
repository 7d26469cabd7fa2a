// The client's answering connection against the stand-in service's offering peer, both on
// loopback in one process.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "PeerPair.hpp"

namespace {

using namespace rtctest;
using State = rtc::PeerConnection::State;

bool startsWithLongStartCode(const rtc::binary& frame) {
    return frame.size() > 4 && frame[0] == std::byte{0} && frame[1] == std::byte{0} &&
           frame[2] == std::byte{0} && frame[3] == std::byte{1};
}

// NAL unit types after each 4-byte start code of an access unit.
std::vector<int> nalTypes(const rtc::binary& frame, bool hevc) {
    std::vector<int> types;
    for (std::size_t i = 0; i + 4 < frame.size(); ++i) {
        if (frame[i] == std::byte{0} && frame[i + 1] == std::byte{0} &&
            frame[i + 2] == std::byte{0} && frame[i + 3] == std::byte{1}) {
            int header = std::to_integer<int>(frame[i + 4]);
            types.push_back(hevc ? (header >> 1) & 0x3f : header & 0x1f);
            i += 3;
        }
    }
    return types;
}

std::string text(const rtc::message_variant& message) {
    auto* value = std::get_if<std::string>(&message);
    return value ? *value : "<binary>";
}

class PeerConnectionCodecTest : public testing::TestWithParam<bool> {};

// The whole road for one codec: answer and candidates, states, both tracks with their
// frames in the decoder's form, the three channels both ways, and a key-frame request that
// reaches the sender's encoder.
TEST_P(PeerConnectionCodecTest, answersConnectsAndCarriesMediaAndMessages) {
    bool hevc = GetParam();
    PairOptions options;
    options.offerer.hevc = hevc;
    options.offerer.width = 320;
    options.offerer.height = 240;
    options.offerer.fps = 30;
    options.offerer.bitrate = 1'000'000;
    options.codec = hevc ? rtc::VideoCodec::H265 : rtc::VideoCodec::H264;
    PeerPair pair(options);
    pair.start();
    EXPECT_EQ(pair.answerer->state(), State::New);

    ASSERT_TRUE(waitFor([&] { return pair.connected(); }, 15s));
    ASSERT_TRUE(waitFor([&] { return pair.mediaFlowing(20, 20); }, 15s))
        << "video " << pair.observed.videoFrames << " audio " << pair.observed.audioFrames;
    ASSERT_TRUE(waitFor([&] { return pair.observed.channelsOpened == 3; }));

    {
        std::lock_guard lock(pair.observed.mutex);
        EXPECT_FALSE(pair.observed.setRemoteError) << *pair.observed.setRemoteError;
        ASSERT_TRUE(pair.observed.answer);
        const std::string& answer = *pair.observed.answer;
        EXPECT_NE(answer.find(hevc ? "H265/90000" : "H264/90000"), std::string::npos) << answer;
        EXPECT_EQ(answer.find(hevc ? "H264/90000" : "H265/90000"), std::string::npos) << answer;
        EXPECT_NE(answer.find("OPUS/48000"), std::string::npos);
        EXPECT_NE(answer.find("nack pli"), std::string::npos) << answer;
        EXPECT_NE(answer.find(" rtx/90000"), std::string::npos) << answer;
        EXPECT_NE(answer.find("a=recvonly"), std::string::npos);

        ASSERT_FALSE(pair.observed.candidates.empty());
        for (const auto& candidate : pair.observed.candidates) {
            EXPECT_TRUE(candidate.mid() == "audio" || candidate.mid() == "video" ||
                        candidate.mid().starts_with("application"))
                << candidate.mid();
            EXPECT_NE(candidate.candidate().find(" 127.0.0.1 "), std::string::npos)
                << candidate.candidate();
        }

        // Each change once, in order.
        auto& states = pair.observed.states;
        ASSERT_GE(states.size(), 2u);
        EXPECT_EQ(states[0], State::Connecting);
        EXPECT_EQ(states[1], State::Connected);

        EXPECT_EQ(pair.observed.tracks.size(), 2u);
        EXPECT_TRUE(pair.observed.tracks.count("audio"));
        EXPECT_TRUE(pair.observed.tracks.count("video"));

        bool sawKeyFrame = false;
        for (const auto& frame : pair.observed.firstVideoFrames) {
            EXPECT_TRUE(startsWithLongStartCode(frame));
            for (int type : nalTypes(frame, hevc)) {
                sawKeyFrame |= hevc ? (type == 19 || type == 20) : type == 5;
            }
        }
        EXPECT_TRUE(sawKeyFrame);
    }
    EXPECT_EQ(pair.offered.remoteCandidatesRefused, 0);

    // Messages both ways, text and binary.
    auto input = pair.channel("input");
    auto microphone = pair.channel("microphone");
    ASSERT_TRUE(input && microphone && pair.channel("input-fast"));
    EXPECT_TRUE(input->isOpen());
    EXPECT_TRUE(input->send(std::string(R"({"type":"key","vk":65,"down":true})")));
    rtc::binary mic{std::byte{'M'}, std::byte{'I'}, std::byte{'C'},
                    std::byte{'0'}, std::byte{0},   std::byte{255}};
    EXPECT_TRUE(microphone->send(mic));
    EXPECT_TRUE(pair.offerer->sendText("input", R"({"type":"cursor","x":1})"));
    EXPECT_TRUE(pair.offerer->sendBinary("input", {0x7b, 0x7d}));
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(pair.offered.mutex);
        return !pair.offered.texts.empty() && !pair.offered.binaries.empty();
    }));
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(pair.observed.mutex);
        return pair.observed.messages.size() >= 2;
    }));
    {
        std::lock_guard lock(pair.offered.mutex);
        EXPECT_EQ(pair.offered.texts[0],
                  std::make_pair(std::string("input"),
                                 std::string(R"({"type":"key","vk":65,"down":true})")));
        EXPECT_EQ(pair.offered.binaries[0].first, "microphone");
        EXPECT_EQ(pair.offered.binaries[0].second,
                  (std::vector<std::uint8_t>{'M', 'I', 'C', '0', 0, 255}));
    }
    {
        std::lock_guard lock(pair.observed.mutex);
        auto& messages = pair.observed.messages;
        EXPECT_EQ(messages[0].first, "input");
        EXPECT_EQ(text(messages[0].second), R"({"type":"cursor","x":1})");
        auto* data = std::get_if<rtc::binary>(&messages[1].second);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(*data, (rtc::binary{std::byte{0x7b}, std::byte{0x7d}}));
    }

    // A key-frame request travels as PLI to the sender's encoder.
    auto video = pair.track("video");
    ASSERT_TRUE(video);
    auto before = pair.offerer->keyFramesForced();
    EXPECT_TRUE(video->requestKeyframe());
    EXPECT_TRUE(waitFor([&] { return pair.offerer->keyFramesForced() > before; }));

    if (pair.timeToConnected) {
        std::printf("[ figures ] %s: connected after %lld ms\n", hevc ? "HEVC" : "H.264",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(*pair.timeToConnected)
                            .count()));
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, PeerConnectionCodecTest, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Hevc" : "H264"; });

// The offer as a sender that cannot retransmit would make it: no rtx format.
std::string withoutRetransmission(std::string offer) {
    std::string rtx;
    auto at = offer.find(" rtx/90000");
    if (at != std::string::npos) {
        auto start = offer.rfind("a=rtpmap:", at) + 9;
        rtx = offer.substr(start, at - start);
    }
    std::string kept;
    std::size_t begin = 0;
    while (begin < offer.size()) {
        auto end = offer.find("\r\n", begin);
        std::string line = offer.substr(begin, end - begin);
        begin = end == std::string::npos ? offer.size() : end + 2;
        if (!rtx.empty() &&
            (line.starts_with("a=rtpmap:" + rtx + " ") || line.starts_with("a=fmtp:" + rtx + " ") ||
             line.starts_with("a=ssrc-group:FID"))) {
            continue;
        }
        if (!rtx.empty() && line.starts_with("m=video") && line.ends_with(" " + rtx)) {
            line.resize(line.size() - rtx.size() - 1);
        }
        kept += line + "\r\n";
    }
    return kept;
}

class PeerConnectionLossTest : public testing::TestWithParam<bool> {};

// 5 % of the video packets lost on the way. With retransmission they come back and only a
// packet given up for good damages a frame; without it, the answer asks for nothing and the
// frames that lost packets are delivered as damaged.
TEST_P(PeerConnectionLossTest, lostPacketsAreRepairedWhenTheOfferRetransmitsElseFramesAreDamaged) {
    const bool retransmits = GetParam();
    PairOptions options;
    options.offerer.width = 320;
    options.offerer.height = 240;
    options.offerer.fps = 30;
    options.offerer.bitrate = 1'000'000;
    options.offerer.impairment.lossPercent = 5;
    options.offerer.impairment.seed = 7;
    if (!retransmits) {
        options.editOffer = withoutRetransmission;
    }
    PeerPair pair(options);
    pair.start();
    ASSERT_TRUE(waitFor([&] { return pair.observed.videoFrames >= 90; }, 20s));
    auto video = pair.track("video");
    ASSERT_TRUE(video);
    const std::uint64_t damaged = pair.observed.damagedVideoFrames;
    const rtc::ReceiveStats stats = video->receiveStats();

    EXPECT_EQ(stats.retransmission, retransmits);
    EXPECT_GT(stats.packetsLost, 0u);
    if (retransmits) {
        EXPECT_GT(stats.packetsRetransmitted, 0u);
        // A frame is damaged only by a packet that was not brought back.
        EXPECT_LE(damaged, stats.packetsLost - stats.packetsRetransmitted);
    } else {
        EXPECT_EQ(stats.packetsRetransmitted, 0u);
        EXPECT_GT(damaged, 0u);
    }
    std::printf(
        "[ figures ] %s: %llu packets lost, %llu retransmitted, %llu of %llu frames "
        "damaged, round trip %.1f ms\n",
        retransmits ? "with RTX" : "without RTX",
        static_cast<unsigned long long>(stats.packetsLost),
        static_cast<unsigned long long>(stats.packetsRetransmitted),
        static_cast<unsigned long long>(damaged),
        static_cast<unsigned long long>(pair.observed.videoFrames.load()), stats.roundTripMs);
}

INSTANTIATE_TEST_SUITE_P(Retransmission, PeerConnectionLossTest, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Offered" : "NotOffered"; });

}  // namespace

namespace {

using namespace rtctest;

// A recorded stream played from a file loops, so more frames arrive than the file holds, their
// timestamps keep moving forward across the loop (the client checks its pictures' order by
// them), and a key-frame request is answered within a few frames, not at the file's next key
// frame a loop later.
TEST(PeerConnectionFile, recordedStreamLoopsAndCountsKeyFrameRequests) {
    PairOptions live;
    live.offerer.width = 320;
    live.offerer.height = 240;
    live.offerer.fps = 30;
    live.offerer.bitrate = 500'000;
    std::vector<rtc::binary> recorded;
    {
        PeerPair pair(live);
        pair.start();
        ASSERT_TRUE(waitFor(
            [&] {
                std::lock_guard lock(pair.observed.mutex);
                return pair.observed.firstVideoFrames.size() >= 30;
            },
            15s));
        std::lock_guard lock(pair.observed.mutex);
        recorded = pair.observed.firstVideoFrames;
    }
    std::string path = testing::TempDir() + "/recorded.h264";
    {
        std::ofstream file(path, std::ios::binary);
        for (const auto& frame : recorded) {
            file.write(reinterpret_cast<const char*>(frame.data()),
                       static_cast<std::streamsize>(frame.size()));
        }
    }

    PairOptions played = live;
    played.offerer.videoFile = path;
    PeerPair pair(played);
    pair.start();
    ASSERT_TRUE(waitFor([&] { return pair.observed.videoFrames >= 75; }, 20s))
        << pair.observed.videoFrames;
    {
        std::lock_guard lock(pair.observed.mutex);
        for (const auto& frame : pair.observed.firstVideoFrames) {
            EXPECT_TRUE(startsWithLongStartCode(frame));
        }
        EXPECT_EQ(pair.observed.videoTimestampsBackwards, 0u);
        // 75 frames at 30 a second span 2.5 s of the 90 kHz clock.
        ASSERT_TRUE(pair.observed.firstVideoTimestamp && pair.observed.lastVideoTimestamp);
        EXPECT_GT(static_cast<std::int32_t>(*pair.observed.lastVideoTimestamp -
                                            *pair.observed.firstVideoTimestamp),
                  2 * 90000);
    }
    auto video = pair.track("video");
    ASSERT_TRUE(video);
    // The file's key frames all lie in its first few frames; ask once they are past.
    ASSERT_TRUE(waitFor(
        [&] {
            const std::uint64_t key = pair.observed.lastKeyFrameAt;
            return key > 75 && pair.observed.videoFrames >= key + 8;
        },
        20s));
    const std::uint64_t asked = pair.observed.videoFrames;
    EXPECT_TRUE(video->requestKeyframe());
    EXPECT_TRUE(waitFor([&] { return pair.offerer->keyFramesForced() > 0; }));
    ASSERT_TRUE(waitFor([&] { return pair.observed.lastKeyFrameAt > asked; }, 20s));
    EXPECT_LE(pair.observed.lastKeyFrameAt - asked, 10u);
    {
        std::lock_guard lock(pair.observed.mutex);
        EXPECT_EQ(pair.observed.videoTimestampsBackwards, 0u);
    }
    std::remove(path.c_str());
}

}  // namespace
