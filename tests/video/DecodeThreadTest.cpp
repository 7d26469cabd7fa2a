#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/TestStreams.hpp"
#include "support/WaitFor.hpp"
#include "video/DecodeThread.hpp"

namespace {

using Clock = EncodedQueue::Clock;

// The H.264 access unit up to its first slice: its parameter sets and SEI.
rtc::binary withoutSlices(const rtc::binary& unit) {
    for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
        const int type = std::to_integer<int>(unit[i + 3]) & 0x1f;
        const bool slice = type >= 1 && type <= 5;
        if (unit[i] == std::byte{0} && unit[i + 1] == std::byte{0} && unit[i + 2] == std::byte{1} &&
            slice) {
            return rtc::binary(unit.begin(), unit.begin() + i);
        }
    }
    return unit;
}

struct DecodeThreadTest : testing::Test {
    void start(double roundTripMs = 1000) {
        thread.start(DecodeThread::Hooks{
            [this] { return ++requests, true; },
            [roundTripMs] { return roundTripMs; },
            [this] { ++wakes; },
            {},
        });
    }
    // Frames 100 ticks apart, all arriving now: well within the queue's backlog.
    void push(const rtc::binary& unit, bool damaged = false) {
        queue.push(EncodedFrame{unit, timestamp, damaged, Clock::now()});
        timestamp += 100;
    }

    StreamStats stats;
    EncodedQueue queue{stats, false};
    PictureSlot slot;
    VideoDecoder decoder{false, {.hardwareDecoders = {}}};
    DecodeThread thread{queue, decoder, slot};
    std::atomic<int> requests{0};
    std::atomic<int> wakes{0};
    std::uint32_t timestamp = 1000;
};

// Each picture taken before the next frame goes in, so every one can be looked at.
TEST_F(DecodeThreadTest, damageAndFailuresBreakPicturesUntilAKeyFrameAndOnlyTheNewestIsShown) {
    const auto first = teststreams::encode(false, 320, 176, 4, teststreams::gradient());
    const auto second = teststreams::encode(false, 320, 176, 4, teststreams::gradient());
    // A slice whose header breaks the syntax (the forbidden bit set).
    const rtc::binary garbage{std::byte{0},    std::byte{0},    std::byte{0},   std::byte{1},
                              std::byte{0xc1}, std::byte{0xff}, std::byte{0xff}};
    // The parameter sets of a key frame sent on their own, as some senders do: the decoder
    // says it found no picture, which breaks nothing.
    const rtc::binary parameterSets = withoutSlices(second[0]);
    struct Frame {
        const rtc::binary& unit;
        bool damaged;
        bool picture;
        bool broken;
    };
    const Frame frames[] = {
        {first[0], false, true, false},  {first[1], false, true, false},
        {first[2], true, true, true},  // damaged: broken from here on
        {first[3], false, true, true},   {second[0], false, true, false},  // a key frame
        {second[1], false, true, false}, {parameterSets, false, false, false},
        {second[2], false, true, false}, {garbage, false, false, false},  // the decoder fails
        {second[3], false, true, true},
    };
    start();
    std::uint64_t decoded = 0;
    std::uint64_t failures = 0;
    for (const Frame& f : frames) {
        SCOPED_TRACE(testing::Message() << "frame " << (&f - frames));
        push(f.unit, f.damaged);
        if (!f.picture) {
            ASSERT_TRUE(waitFor([&] { return decoder.decodeFailures() > failures; }));
            failures = decoder.decodeFailures();
            continue;
        }
        ASSERT_TRUE(waitFor([&] { return thread.picturesDecoded() > decoded; }));
        decoded = thread.picturesDecoded();
        const auto ready = slot.take();
        ASSERT_TRUE(ready);
        EXPECT_EQ(ready->broken, f.broken);
    }
    // Once for the damage, once for the failure after the key frame ended the first request.
    EXPECT_EQ(requests.load(), 2);
    EXPECT_EQ(thread.keyframeRequests(), 2u);
    EXPECT_EQ(slot.skipped(), 0u);

    // A burst from a key frame of another size, none taken meanwhile: every frame is decoded in
    // order (later ones reference it), only the newest is shown, and the main thread woken once.
    const auto resized = teststreams::encode(false, 240, 240, 6, teststreams::gradient());
    const int wakesBefore = wakes.load();
    for (const auto& unit : resized) {
        push(unit);
    }
    ASSERT_TRUE(waitFor([&] { return thread.picturesDecoded() == decoded + resized.size(); }));
    const auto newest = slot.take();
    ASSERT_TRUE(newest);
    EXPECT_EQ(newest->picture->width, 240);
    EXPECT_EQ(newest->picture->pts, timestamp - 100);
    EXPECT_FALSE(newest->broken);
    EXPECT_FALSE(slot.take()) << "a picture is taken once";
    EXPECT_EQ(slot.skipped(), resized.size() - 1);
    EXPECT_EQ(wakes.load(), wakesBefore + 1);
    EXPECT_EQ(stats.encodedFramesDropped.load(), 0u);
}

// The first picture holds the decode thread until stop has begun, so no timing decides.
TEST_F(DecodeThreadTest, stopsWithFramesInFlightAndIgnoresFramesAfterwards) {
    const auto stream = teststreams::encode(false, 320, 176, 10, teststreams::gradient());
    for (const auto& unit : stream) {
        push(unit);
    }
    std::atomic<bool> release{false};
    thread.start(DecodeThread::Hooks{{},
                                     {},
                                     [&] {
                                         while (!release.load()) {
                                             std::this_thread::sleep_for(
                                                 std::chrono::milliseconds(1));
                                         }
                                     },
                                     {}});
    std::atomic<bool> stopping{false};
    std::thread stopper([&] {
        ASSERT_TRUE(waitFor([&] { return thread.picturesDecoded() == 1; }));
        stopping = true;
        thread.stop();
    });
    // Once stop has begun, a late engine callback adds nothing. (A queue that fell behind on
    // a loaded machine also refuses frames, hence the flag.)
    EXPECT_TRUE(waitFor([&] {
        const auto waiting = queue.size();
        push(stream[0]);
        return stopping && queue.size() == waiting;
    }));
    release = true;
    stopper.join();
    EXPECT_EQ(thread.picturesDecoded(), 1u) << "stopping waited for the queue";
    EXPECT_TRUE(slot.take()) << "the picture held at the stop is still there to release";
}

}  // namespace
