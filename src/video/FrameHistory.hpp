#pragma once

#include <chrono>
#include <deque>

#include "video/SampleWindow.hpp"

// The presented pictures of the last two seconds, each with its times, for the statistics
// panel's figures and graph. Main thread only.
class FrameHistory {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds span{2};

    struct Frame {
        Clock::time_point shown;
        double arrivalToPresentMs = 0;
        double decodeMs = 0;
        double presentMs = 0;
    };
    struct Summary {
        SampleWindow::Summary arrivalToPresent;
        SampleWindow::Summary decode;
        SampleWindow::Summary present;
    };

    // Also forgets the frames that have left the span.
    void add(const Frame& frame);
    // Oldest first; may still hold frames up to `span` older than the last one added.
    const std::deque<Frame>& frames() const { return recent; }
    Summary summary() const;

  private:
    std::deque<Frame> recent;
};
