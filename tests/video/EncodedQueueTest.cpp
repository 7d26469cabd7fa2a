#include <gtest/gtest.h>

#include <vector>

#include "video/EncodedQueue.hpp"
#include "video/KeyFrames.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = EncodedQueue::Clock;

template <typename... Values>
Bytes bytes(Values... values) {
    return {static_cast<std::byte>(values)...};
}

TEST(KeyFrames, onlyTheFirstSliceDecidesAndOnlyIdrOrIrapSlicesAreKeys) {
    constexpr auto key = FrameKind::Key;
    constexpr auto delta = FrameKind::Delta;
    constexpr auto none = FrameKind::NoSlice;
    struct Case {
        const char* what;
        bool hevc;
        Bytes unit;
        FrameKind kind;
    };
    const Case cases[] = {
        {"h264 SPS PPS IDR", false, bytes(0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0, 0, 1, 0x65),
         key},
        {"h264 IDR after a non-IDR slice", false, bytes(0, 0, 1, 0x41, 0x9a, 0, 0, 1, 0x65), delta},
        {"empty", false, Bytes{}, none},
        {"hevc VPS then IDR_W_RADL", true, bytes(0, 0, 0, 1, 0x40, 1, 0, 0, 0, 1, 0x26, 1), key},
        {"hevc CRA", true, bytes(0, 0, 0, 1, 0x2a, 1), key},
        {"hevc prefix SEI then TRAIL_R", true, bytes(0, 0, 0, 1, 0x4e, 1, 0, 0, 0, 1, 0x02, 1),
         delta},
        // The same byte means other things in the other codec.
        {"h264 IDR header read as hevc", true, bytes(0, 0, 0, 1, 0x65, 0x88), none},
        {"hevc IDR_N_LP header read as h264", false, bytes(0, 0, 0, 1, 0x28, 1), none},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(frameKind(c.unit, c.hevc), c.kind) << c.what;
    }
}

const Bytes keyFrame = bytes(0, 0, 0, 1, 0x65, 0x88);
const Bytes deltaFrame = bytes(0, 0, 0, 1, 0x41, 0x9a);

// When the first frame pushed has waited as long as the queue lets a frame wait.
constexpr std::chrono::milliseconds late = EncodedQueue::maxBacklog;

struct EncodedQueueTest : testing::Test {
    void push(const Bytes& unit, std::uint32_t timestamp, std::chrono::milliseconds arrival) {
        queue.push(EncodedFrame{unit, timestamp, false, start + arrival});
    }
    std::vector<std::uint32_t> drain() {
        std::vector<std::uint32_t> out;
        for (auto taken = queue.pop(Clock::now()); taken.frame; taken = queue.pop(Clock::now())) {
            out.push_back(taken.frame->frame.timestamp);
        }
        return out;
    }

    StreamStats stats;
    EncodedQueue queue{stats, false};
    const Clock::time_point start = Clock::now();
};

// Behind is judged by how long frames wait here, not by the sender's clock: a burst that the
// network held back, half a second of the sender's time arriving at once, is kept whole.
TEST_F(EncodedQueueTest, aDecoderFallingBehindDropsUpToTheQueuedKeyFrameWithoutAskingForOne) {
    for (std::uint32_t i = 0; i < 15; ++i) {
        push(deltaFrame, i * 3000, 0ms);
    }
    push(keyFrame, 45000, 33ms);
    push(deltaFrame, 48000, 50ms);
    EXPECT_EQ(stats.encodedFramesDropped.load(), 0u);
    push(deltaFrame, 51000, late + 10ms);  // the burst has waited too long
    EXPECT_EQ(stats.encodedFramesDropped.load(), 15u);
    const auto first = queue.pop(Clock::now());
    ASSERT_TRUE(first.frame);
    EXPECT_TRUE(first.frame->key());
    EXPECT_FALSE(first.keyframeNeeded);
    EXPECT_EQ(drain(), (std::vector<std::uint32_t>{48000, 51000}));
}

TEST_F(EncodedQueueTest, withNoKeyFrameQueuedEverythingUpToTheNextOneIsDroppedAndOneIsNeeded) {
    push(keyFrame, 0, 0ms);
    push(deltaFrame, 1500, 17ms);
    push(deltaFrame, 3000, late + 1ms);  // the key frame has waited too long to start from
    EXPECT_EQ(stats.encodedFramesDropped.load(), 3u);
    push(deltaFrame, 19500, late + 18ms);
    EXPECT_EQ(stats.encodedFramesDropped.load(), 4u);

    const auto told = queue.pop(Clock::now());
    EXPECT_TRUE(told.keyframeNeeded);
    EXPECT_FALSE(told.frame);
    EXPECT_FALSE(queue.pop(Clock::now()).keyframeNeeded) << "told once";

    push(keyFrame, 21000, late + 35ms);
    push(deltaFrame, 22500, late + 51ms);
    EXPECT_EQ(drain(), (std::vector<std::uint32_t>{21000, 22500}));
    EXPECT_EQ(stats.encodedFramesDropped.load(), 4u);
    EXPECT_EQ(stats.framesReceived.load(), 6u);
}

TEST_F(EncodedQueueTest, stopLeavesWaitingFramesUntakenAndRefusesLaterOnes) {
    push(keyFrame, 0, 0ms);
    queue.stop();
    push(deltaFrame, 1500, 17ms);
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_TRUE(queue.pop(Clock::time_point::max()).stopped);
}

}  // namespace
