#include "video/VideoPipeline.hpp"

#include <algorithm>

namespace {
double msBetween(VideoPipeline::Clock::time_point from, VideoPipeline::Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}
}  // namespace

VideoPipeline::VideoPipeline(StreamStats& stats, bool isHevc, VideoDecoder& decoder,
                             VideoPresenter& presenter, FrameHistory* recent)
    : presenter(presenter),
      recent(recent),
      queue(stats, isHevc),
      decodeThread(queue, decoder, slot) {}

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
    if (recent) {
        recent->add(
            {shown, msBetween(ready->arrival, shown), ready->decodeMs, msBetween(start, shown)});
    }
    if (lastPresented) {
        longestGapMs = std::max(longestGapMs, msBetween(*lastPresented, shown));
    }
    lastPresented = shown;
    if (ready->broken) {
        ++broken;
    }
    return true;
}

VideoPipeline::Totals VideoPipeline::totals() const {
    Totals totals;
    totals.decoded = decodeThread.picturesDecoded();
    totals.presented = presenter.framesPresented();
    totals.skipped = slot.skipped();
    totals.broken = broken;
    totals.keyframeRequests = decodeThread.keyframeRequests();
    return totals;
}

VideoPipeline::Figures VideoPipeline::takeFigures() {
    Figures figures;
    static_cast<Totals&>(figures) = totals();
    figures.arrivalToPresent = arrivalToPresentMs.takeSummary();
    figures.decode = decodeThread.decodeTimes().takeSummary();
    figures.present = presentMs.takeSummary();
    figures.longestGapMs = longestGapMs;
    longestGapMs = 0;
    return figures;
}
