#include <gtest/gtest.h>

#include <atomic>

#include "support/TestStreams.hpp"
#include "support/WaitFor.hpp"
#include "video/DecodeThread.hpp"

namespace {

// Each picture taken before the next frame goes in, so every one can be looked at.
TEST(DecodeThread, damageAndFailuresBreakPicturesUntilAKeyFrameAndOnlyTheNewestIsShown) {
    StreamStats stats;
    EncodedQueue queue{stats, false};
    PictureSlot slot;
    VideoDecoder decoder{false, {.hardwareDecoders = {}}};
    std::atomic<int> requests{0};
    std::atomic<int> wakes{0};
    DecodeThread thread{queue, decoder, slot};
    std::uint32_t timestamp = 1000;
    // Frames 100 ticks apart, all arriving now: well within the queue's backlog.
    const auto push = [&](const rtc::binary& unit, bool damaged = false) {
        queue.push(EncodedFrame{unit, timestamp, damaged, EncodedQueue::Clock::now()});
        timestamp += 100;
    };
    const auto stream = teststreams::encode(false, 320, 176, 4, teststreams::gradient());
    // A slice whose header breaks the syntax (the forbidden bit set).
    const rtc::binary garbage{std::byte{0},    std::byte{0},    std::byte{0},   std::byte{1},
                              std::byte{0xc1}, std::byte{0xff}, std::byte{0xff}};
    // A unit without a slice, like parameter sets sent on their own (here an access unit
    // delimiter): the decoder says it found no picture, which breaks nothing.
    const rtc::binary noSlice{std::byte{0}, std::byte{0},    std::byte{0},
                              std::byte{1}, std::byte{0x09}, std::byte{0xf0}};
    struct Frame {
        const rtc::binary& unit;
        bool damaged;
        bool picture;
        bool broken;
    };
    const Frame frames[] = {
        {stream[0], false, true, false}, {stream[1], false, true, false},
        {stream[2], true, true, true},  // damaged: broken from here on
        {stream[3], false, true, true},  {stream[0], false, true, false},  // the key frame again
        {stream[1], false, true, false}, {noSlice, false, false, false},
        {stream[2], false, true, false}, {garbage, false, false, false},  // the decoder fails
        {stream[3], false, true, true},
    };
    // A round trip long enough that no request is repeated while the test runs.
    thread.start({[&] { return ++requests, true; }, [] { return 1000.0; }, [&] { ++wakes; }, {}});
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

}  // namespace
