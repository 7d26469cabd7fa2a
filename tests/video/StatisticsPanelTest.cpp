#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "video/StatisticsPanel.hpp"

namespace {

TEST(StatisticsPanel, figuresReadAsText) {
    const PanelFigures busy = {.width = 1920,
                               .height = 1080,
                               .codec = "h264",
                               .decoder = "vaapi",
                               .receivedFps = 60,
                               .presentedFps = 59.5,
                               .times = {{12.34, 31.5, 44.1}, {3.2, 6.04, 7}, {0.6, 1.24, 2}},
                               .receivedBitsPerSecond = 11.84e6,
                               .targetBitsPerSecond = 12000000,
                               .roundTripMs = 1.4,
                               .packetsLost = 12,
                               .packetsLostPerSecond = 2,
                               .skipped = 3,
                               .broken = 1,
                               .encodedDropped = 4,
                               .keyframeRequests = 2};
    std::vector<std::string> lines = {
        "Stream      1920x1080 h264, decoder vaapi",
        "Frames/s    received 60.0, presented 59.5",
        "Arrival to present 12.3 / 31.5 ms (median / p99)",
        "Decode      3.2 / 6.0 ms, present 0.6 / 1.2 ms",
        "Bitrate     11.8 Mbit/s, target 12.0 Mbit/s",
        "Round trip  1 ms, packets lost 12 (2/s)",
        "Skipped 3, broken 1, dropped 4, key-frame requests 2",
        "Arrival to present, last 2 s (top 50 ms):",
    };
    EXPECT_EQ(statisticsPanelLines(busy), lines);

    // A quiet stream changes these lines only.
    PanelFigures quiet = busy;
    quiet.receivedBitsPerSecond = 48000;
    quiet.roundTripMs = 0;
    quiet.times.arrivalToPresent.max = 3;
    lines[4] = "Bitrate     48 kbit/s, target 12.0 Mbit/s";
    lines[5] = "Round trip  unknown, packets lost 12 (2/s)";
    lines[7] = "Arrival to present, last 2 s (top 20 ms):";
    EXPECT_EQ(statisticsPanelLines(quiet), lines);
}

}  // namespace
