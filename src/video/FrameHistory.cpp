#include "video/FrameHistory.hpp"

#include <vector>

void FrameHistory::add(const Frame& frame) {
    recent.push_back(frame);
    while (!recent.empty() && frame.shown - recent.front().shown > span) {
        recent.pop_front();
    }
}

FrameHistory::Summary FrameHistory::summary() const {
    std::vector<double> arrival;
    std::vector<double> decode;
    std::vector<double> present;
    for (const Frame& frame : recent) {
        arrival.push_back(frame.arrivalToPresentMs);
        decode.push_back(frame.decodeMs);
        present.push_back(frame.presentMs);
    }
    return {SampleWindow::summarise(std::move(arrival)), SampleWindow::summarise(std::move(decode)),
            SampleWindow::summarise(std::move(present))};
}
