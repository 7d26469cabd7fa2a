#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "base/StreamStats.hpp"
#include "rtc/rtc.hpp"
#include "video/StatisticsPanel.hpp"
#include "video/VideoPipeline.hpp"

// Feeds the statistics panel: twice a second it turns the counters into rates and, while the
// panel is shown, hands it the figures, whose text is then rendered anew only if it changed.
// Main thread only.
class StatisticsRefresh {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds interval{500};

    struct Sources {
        const StreamStats& stats;
        const VideoPipeline& video;
        const VideoPresenter& presenter;
        const FrameHistory& history;
        std::function<rtc::ReceiveStats()> videoPackets;
        std::string codec;
        std::string decoder;
    };

    StatisticsRefresh(StatisticsPanel& panel, Sources sources);

    // The hotkey: shows or hides the panel, with fresh figures when it appears.
    void toggle();
    void refreshWhenDue();

  private:
    void sample(Clock::time_point now);
    void hand();

    StatisticsPanel& panel;
    Sources sources;
    PanelFigures figures;
    Clock::time_point lastSample;
    std::uint64_t lastReceived = 0;
    std::uint64_t lastPresented = 0;
    std::uint64_t lastBytes = 0;
    std::uint64_t lastLost = 0;
};
