#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "video/StatisticsPanel.hpp"

namespace {

PanelFigures busyStream() {
    return {.width = 1920,
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
}

TEST(StatisticsPanel, figuresReadAsText) {
    const std::vector<std::string> busy = {
        "Stream      1920x1080 h264, decoder vaapi",
        "Frames/s    received 60.0, presented 59.5",
        "Arrival to present 12.3 / 31.5 ms (median / p99)",
        "Decode      3.2 / 6.0 ms, present 0.6 / 1.2 ms",
        "Bitrate     11.8 Mbit/s, target 12.0 Mbit/s",
        "Round trip  1 ms, packets lost 12 (2/s)",
        "Skipped 3, broken 1, dropped 4, key-frame requests 2",
        "Arrival to present, last 2 s (top 50 ms):",
    };
    EXPECT_EQ(statisticsPanelLines(busyStream()), busy);

    // What changes with a quiet stream: the lines below, the rest as above.
    struct Case {
        void (*change)(PanelFigures&);
        std::size_t line;
        std::string text;
    };
    const std::vector<Case> cases = {
        {[](PanelFigures& f) { f.roundTripMs = 0; }, 5,
         "Round trip  unknown, packets lost 12 (2/s)"},
        {[](PanelFigures& f) { f.receivedBitsPerSecond = 48000; }, 4,
         "Bitrate     48 kbit/s, target 12.0 Mbit/s"},
        {[](PanelFigures& f) { f.times.arrivalToPresent.max = 3; }, 7,
         "Arrival to present, last 2 s (top 20 ms):"},
    };
    for (const auto& c : cases) {
        PanelFigures f = busyStream();
        c.change(f);
        EXPECT_EQ(statisticsPanelLines(f).at(c.line), c.text);
    }
}

}  // namespace
