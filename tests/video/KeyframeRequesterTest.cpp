#include <gtest/gtest.h>

#include "video/KeyframeRequester.hpp"

namespace {

using namespace std::chrono_literals;

struct FakeClock {
    KeyframeRequester::Clock::time_point now{std::chrono::seconds(1000)};
    void advance(std::chrono::milliseconds d) { now += d; }
};

struct KeyframeRequesterTest : testing::Test {
    FakeClock clock;
    int sent = 0;
    KeyframeRequester requester{[this] { ++sent; }, [this] { return clock.now; }};
};

TEST_F(KeyframeRequesterTest, burstOfLossesAsksOncePerInterval) {
    EXPECT_TRUE(requester.lossDetected());
    clock.advance(100ms);
    EXPECT_FALSE(requester.lossDetected());
    clock.advance(149ms);
    EXPECT_FALSE(requester.lossDetected());
    EXPECT_EQ(sent, 1);
    clock.advance(1ms);
    EXPECT_TRUE(requester.lossDetected());
    EXPECT_EQ(sent, 2);
    EXPECT_EQ(requester.requestsSent(), 2u);
}

TEST_F(KeyframeRequesterTest, lossHeldBackByTheIntervalIsAskedForOnceItPasses) {
    requester.lossDetected();
    clock.advance(50ms);
    requester.lossDetected();
    clock.advance(100ms);
    EXPECT_FALSE(requester.poll(0));
    clock.advance(100ms);
    EXPECT_TRUE(requester.poll(0));
    EXPECT_EQ(sent, 2);
    // Nothing left over: later iterations stay quiet.
    clock.advance(1s);
    EXPECT_FALSE(requester.poll(0));
    EXPECT_EQ(sent, 2);
}

TEST_F(KeyframeRequesterTest, queueDropsCountAsLossesOnlyWhenTheCountMoves) {
    EXPECT_FALSE(requester.poll(0));
    EXPECT_TRUE(requester.poll(3));
    clock.advance(300ms);
    EXPECT_FALSE(requester.poll(3));
    EXPECT_TRUE(requester.poll(4));
    EXPECT_EQ(sent, 2);
}

TEST_F(KeyframeRequesterTest, dropsAndDecodeFailuresShareOneLimit) {
    EXPECT_TRUE(requester.poll(1));
    clock.advance(10ms);
    EXPECT_FALSE(requester.lossDetected());
    EXPECT_FALSE(requester.poll(2));
    EXPECT_EQ(sent, 1);
}

}  // namespace
