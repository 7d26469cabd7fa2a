// Loss, lateness and repair told apart from RTP sequence numbers alone.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rtc/LossTracker.hpp"

namespace {

// "e" enters the jitter buffer, "r" enters by retransmission, "l" leaves it.
struct Step {
    char what;
    std::uint16_t sequence;
};

struct Case {
    std::string name;
    std::vector<Step> steps;
    std::uint64_t lost, outOfOrder, retransmitted;
    int skipsOnLeaving;
    int repairsTooLate = 0;
};

class LossTrackerTable : public testing::TestWithParam<Case> {};

TEST_P(LossTrackerTable, countsEachMissingNumberOnceAsLostOrLate) {
    const Case& c = GetParam();
    rtc::LossTracker tracker;
    int skips = 0;
    int tooLate = 0;
    for (const Step& step : c.steps) {
        if (step.what == 'l') {
            skips += tracker.left(step.sequence) ? 1 : 0;
        } else if (tracker.entered(step.sequence, step.what == 'r') ==
                   rtc::LossTracker::Arrival::RepairTooLate) {
            ++tooLate;
        }
    }
    EXPECT_EQ(tracker.lost(), c.lost);
    EXPECT_EQ(tracker.outOfOrder(), c.outOfOrder);
    EXPECT_EQ(tracker.retransmitted(), c.retransmitted);
    EXPECT_EQ(skips, c.skipsOnLeaving);
    EXPECT_EQ(tooLate, c.repairsTooLate);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, LossTrackerTable,
    testing::Values(
        Case{"wrapAroundIsNoGap",
             {{'e', 65534}, {'l', 65534}, {'e', 65535}, {'l', 65535}, {'e', 0}, {'l', 0}},
             0,
             0,
             0,
             0},
        Case{"gapAcrossTheWrapIsLostAndSkipped",
             {{'e', 65534}, {'l', 65534}, {'e', 1}, {'l', 1}},
             2,
             0,
             0,
             1},
        Case{"reorderedPacketIsLateNotLost",
             {{'e', 10}, {'e', 12}, {'e', 11}, {'l', 10}, {'l', 11}, {'l', 12}},
             0,
             1,
             0,
             0},
        Case{"duplicatesCountNothing",
             {{'e', 10}, {'e', 11}, {'e', 11}, {'e', 10}, {'l', 10}, {'l', 11}},
             0,
             0,
             0,
             0},
        Case{"repairedPacketIsLostAndRetransmittedButNotSkipped",
             {{'e', 10}, {'e', 12}, {'r', 11}, {'r', 11}, {'l', 10}, {'l', 11}, {'l', 12}},
             1,
             0,
             1,
             0},
        Case{"givenUpPacketIsLostOnceAndItsRepairComesTooLate",
             {{'e', 10}, {'l', 10}, {'e', 14}, {'l', 14}, {'r', 12}, {'r', 12}, {'e', 11}},
             3,
             0,
             0,
             1,
             1},
        Case{"restartedSenderIsNoLoss",
             {{'e', 100}, {'l', 100}, {'e', 40000}, {'l', 40000}, {'e', 40001}, {'l', 40001}},
             0,
             0,
             0,
             0}),
    [](const auto& info) { return info.param.name; });

}  // namespace
