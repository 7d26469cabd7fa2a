#include "video/VideoPipeline.hpp"

#include <algorithm>

namespace {
double msBetween(VideoPipeline::Clock::time_point from, VideoPipeline::Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}
}  // namespace

VideoPipeline::VideoPipeline(StreamStats& stats, bool isHevc, VideoDecoder& decoder,
                             VideoPresenter& presenter)
    : presenter(presenter), queue(stats, isHevc), decodeThread(queue, decoder, slot) {}

bool VideoPipeline::presentNewest() {
    std::optional<ReadyPicture> ready = slot.take();
    if (!ready) {
        return false;
    }
    const auto start = Clock::now();
    if (!presenter.present(*ready->picture)) {
        return false;
    }
    const auto shown = Clock::now();
    presentMs.add(msBetween(start, shown));
    arrivalToPresentMs.add(msBetween(ready->arrival, shown));
    if (lastPresented) {
        longestGapMs = std::max(longestGapMs, msBetween(*lastPresented, shown));
    }
    lastPresented = shown;
    if (ready->broken) {
        ++broken;
    }
    return true;
}

VideoPipeline::Figures VideoPipeline::takeFigures() {
    Figures figures;
    figures.decoded = decodeThread.picturesDecoded();
    figures.presented = presenter.framesPresented();
    figures.skipped = slot.skipped();
    figures.broken = broken;
    figures.keyframeRequests = decodeThread.keyframeRequests();
    figures.arrivalToPresent = arrivalToPresentMs.takeSummary();
    figures.decode = decodeThread.decodeTimes().takeSummary();
    figures.present = presentMs.takeSummary();
    figures.longestGapMs = longestGapMs;
    longestGapMs = 0;
    return figures;
}
