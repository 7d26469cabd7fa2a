// Loss, lateness and repair told apart from RTP sequence numbers alone.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "rtc/LossTracker.hpp"

namespace {

struct Case {
    std::string name;
    // "e<n>" enters the jitter buffer, "r<n>" enters by retransmission, "l<n>" leaves it.
    std::string steps;
    std::uint64_t lost, outOfOrder, retransmitted;
    int skipsOnLeaving, repairsTooLate;
};

class LossTrackerTable : public testing::TestWithParam<Case> {};

TEST_P(LossTrackerTable, countsEachMissingNumberOnceAsLostOrLate) {
    const Case& c = GetParam();
    rtc::LossTracker tracker;
    int skips = 0;
    int tooLate = 0;
    std::istringstream steps(c.steps);
    char what;
    unsigned sequence;
    while (steps >> what >> sequence) {
        if (what == 'l') {
            skips += tracker.left(static_cast<std::uint16_t>(sequence)) ? 1 : 0;
        } else if (tracker.entered(static_cast<std::uint16_t>(sequence), what == 'r') ==
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
    testing::Values(Case{"wrapAroundIsNoGap", "e65534 l65534 e65535 l65535 e0 l0", 0, 0, 0, 0, 0},
                    Case{"gapAcrossTheWrapIsLostAndSkipped", "e65534 l65534 e1 l1", 2, 0, 0, 1, 0},
                    Case{"reorderedPacketIsLateNotLost", "e10 e12 e11 l10 l11 l12", 0, 1, 0, 0, 0},
                    Case{"duplicatesCountNothing", "e10 e11 e11 e10 l10 l11", 0, 0, 0, 0, 0},
                    Case{"repairedPacketIsLostAndRetransmittedButNotSkipped",
                         "e10 e12 r11 r11 l10 l11 l12", 1, 0, 1, 0, 0},
                    Case{"givenUpPacketIsLostOnceAndItsRepairComesTooLate",
                         "e10 l10 e14 l14 r12 r12 e11", 3, 0, 0, 1, 1},
                    Case{"restartedSenderIsNoLoss", "e100 l100 e40000 l40000 e40001 l40001", 0, 0,
                         0, 0, 0}),
    [](const auto& info) { return info.param.name; });

}  // namespace
