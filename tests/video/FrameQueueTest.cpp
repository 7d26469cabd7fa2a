#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "video/FrameQueue.hpp"

namespace {

Bytes numbered(std::uint32_t producer, std::uint32_t sequence) {
    Bytes frame(8);
    std::memcpy(frame.data(), &producer, 4);
    std::memcpy(frame.data() + 4, &sequence, 4);
    return frame;
}

}  // namespace

TEST(FrameQueue, emptyQueueGivesAnEmptyFrameAtOnce) {
    StreamStats stats;
    FrameQueue queue(stats);
    EXPECT_TRUE(queue.tryPop().empty());
    EXPECT_FALSE(queue.push(Bytes{}));
    EXPECT_TRUE(queue.tryPop().empty()) << "an empty frame is queued like any other";
    EXPECT_EQ(stats.framesReceived.load(), 1u);
    EXPECT_EQ(queue.size(), 0u);
}

TEST(FrameQueue, timestampsLeaveWithTheirFramesAlsoWhenTheOldestIsDropped) {
    StreamStats stats;
    FrameQueue queue(stats);
    for (std::uint32_t i = 0; i < 5; ++i) {
        queue.push(numbered(0, i), 1000 + i * 1500);
    }
    // Frames 0 and 1 were dropped; 2, 3 and 4 come out with their own timestamps.
    for (std::uint32_t i = 2; i < 5; ++i) {
        std::uint32_t timestamp = 0;
        const Bytes frame = queue.tryPop(&timestamp);
        ASSERT_EQ(frame, numbered(0, i));
        EXPECT_EQ(timestamp, 1000 + i * 1500);
    }
    std::uint32_t untouched = 42;
    EXPECT_TRUE(queue.tryPop(&untouched).empty());
    EXPECT_EQ(untouched, 42u) << "an empty queue leaves the timestamp alone";
    EXPECT_EQ(stats.framesDropped.load(), 2u);
}

// Producers race a consumer: nothing is lost or duplicated beyond the drop rule, each
// producer's frames come out in order, and the counters add up. Meant for ThreadSanitizer.
TEST(FrameQueue, concurrentPushesAndPopsKeepOrderAndCount) {
    constexpr std::uint32_t producers = 2;
    constexpr std::uint32_t perProducer = 20000;
    StreamStats stats;
    FrameQueue queue(stats);
    std::atomic<std::uint32_t> done{0};
    std::vector<std::thread> threads;
    for (std::uint32_t p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (std::uint32_t s = 0; s < perProducer; ++s) {
                queue.push(numbered(p, s));
            }
            done.fetch_add(1);
        });
    }

    std::uint64_t popped = 0;
    std::vector<std::int64_t> last(producers, -1);
    bool ordered = true;
    auto take = [&] {
        auto frame = queue.tryPop();
        if (frame.empty()) {
            return false;
        }
        std::uint32_t producer = 0;
        std::uint32_t sequence = 0;
        std::memcpy(&producer, frame.data(), 4);
        std::memcpy(&sequence, frame.data() + 4, 4);
        ordered = ordered && producer < producers && sequence > last[producer];
        last[producer] = sequence;
        ++popped;
        return true;
    };
    while (done.load() < producers) {
        take();
    }
    for (auto& thread : threads) {
        thread.join();
    }
    while (take()) {
    }

    EXPECT_TRUE(ordered);
    EXPECT_EQ(stats.framesReceived.load(), producers * perProducer);
    EXPECT_EQ(stats.bytesReceived.load(), producers * perProducer * 8u);
    EXPECT_EQ(popped + stats.framesDropped.load(), producers * perProducer);
    // The very last push overall is never dropped: it ends some producer's sequence.
    EXPECT_TRUE(std::find(last.begin(), last.end(), perProducer - 1) != last.end());
}
