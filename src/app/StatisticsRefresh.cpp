#include "app/StatisticsRefresh.hpp"

StatisticsRefresh::StatisticsRefresh(StatisticsPanel& panel, Sources sources)
    : panel(panel), sources(std::move(sources)), lastSample(Clock::now()) {
    figures.codec = this->sources.codec;
    figures.decoder = this->sources.decoder;
}

void StatisticsRefresh::toggle() {
    panel.toggle();
    if (panel.visible()) {
        hand();
    }
}

void StatisticsRefresh::refreshWhenDue() {
    const auto now = Clock::now();
    if (now - lastSample < interval) {
        return;
    }
    sample(now);
    if (panel.visible()) {
        hand();
    }
}

void StatisticsRefresh::sample(Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - lastSample).count();
    lastSample = now;
    const StreamStats& stats = sources.stats;
    const VideoPipeline::Totals totals = sources.video.totals();
    const rtc::ReceiveStats packets =
        sources.videoPackets ? sources.videoPackets() : rtc::ReceiveStats{};
    const std::uint64_t received = stats.framesReceived.load();
    const std::uint64_t bytes = stats.bytesReceived.load();
    const auto perSecond = [seconds](std::uint64_t now, std::uint64_t before) {
        return now >= before ? static_cast<double>(now - before) / seconds : 0.0;
    };
    figures.receivedFps = perSecond(received, lastReceived);
    figures.presentedFps = perSecond(totals.presented, lastPresented);
    figures.receivedBitsPerSecond = 8 * perSecond(bytes, lastBytes);
    figures.packetsLostPerSecond = perSecond(packets.packetsLost, lastLost);
    lastReceived = received;
    lastPresented = totals.presented;
    lastBytes = bytes;
    lastLost = packets.packetsLost;

    figures.width = sources.presenter.width();
    figures.height = sources.presenter.height();
    figures.targetBitsPerSecond = stats.targetBitrate.load();
    figures.roundTripMs = packets.roundTripMs;
    figures.packetsLost = packets.packetsLost;
    figures.skipped = totals.skipped;
    figures.broken = totals.broken;
    figures.encodedDropped = stats.encodedFramesDropped.load();
    figures.keyframeRequests = totals.keyframeRequests;
}

void StatisticsRefresh::hand() {
    figures.times = sources.history.summary();
    panel.setFigures(figures);
}
