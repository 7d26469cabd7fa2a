#pragma once

#include <SDL.h>

#include <cstdint>
#include <string>
#include <vector>

#include "video/FrameHistory.hpp"
#include "video/TextBlock.hpp"

// The figures the statistics panel shows; rates are per second over the last refresh.
struct PanelFigures {
    int width = 0;
    int height = 0;
    std::string codec;
    std::string decoder;
    double receivedFps = 0;
    double presentedFps = 0;
    FrameHistory::Summary times;  // the last 2 s of presented pictures
    double receivedBitsPerSecond = 0;
    std::uint64_t targetBitsPerSecond = 0;
    double roundTripMs = 0;  // 0: not known yet
    std::uint64_t packetsLost = 0;
    double packetsLostPerSecond = 0;
    std::uint64_t skipped = 0;
    std::uint64_t broken = 0;
    std::uint64_t encodedDropped = 0;
    std::uint64_t keyframeRequests = 0;
};

// The panel's text, one entry a line.
std::vector<std::string> statisticsPanelLines(const PanelFigures& figures);

// A translucent panel in the window's top-left corner: the figures as text, refreshed by the
// caller a few times a second, and under them a graph of each presented picture's
// arrival-to-present time over the last two seconds, drawn anew with every picture. Hidden
// until toggled. Main thread only.
class StatisticsPanel {
  public:
    static constexpr int margin = 8;
    static constexpr int padding = 6;
    static constexpr int graphWidth = 240;
    static constexpr int graphHeight = 48;
    static constexpr SDL_Color background{0, 0, 0, 170};

    StatisticsPanel(SDL_Renderer* renderer, const FrameHistory& history);

    void toggle() { shown = !shown; }
    bool visible() const { return shown; }
    void setFigures(const PanelFigures& figures);
    // Onto the renderer's current frame, when visible.
    void draw() const;

  private:
    void drawGraph(const SDL_Rect& area) const;

    SDL_Renderer* renderer;
    const FrameHistory& history;
    TextBlock text;
    bool shown = false;
    double graphTopMs = 50;
};
