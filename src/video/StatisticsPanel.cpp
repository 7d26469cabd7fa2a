#include "video/StatisticsPanel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

std::string format(const char* pattern, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

std::string bitrate(double bitsPerSecond) {
    // A still picture needs little; kbit/s keeps it from reading as nothing at all.
    return bitsPerSecond < 1e6 ? format("%.0f kbit/s", bitsPerSecond / 1e3)
                               : format("%.1f Mbit/s", bitsPerSecond / 1e6);
}

std::string medianAndP99(const SampleWindow::Summary& summary) {
    return format("%.1f / %.1f ms", summary.median, summary.p99);
}

// The graph's top: the slowest picture shown, rounded up to 10 ms, at least 20 ms.
double graphTop(const FrameHistory::Summary& times) {
    return std::max(20.0, std::ceil(times.arrivalToPresent.max / 10.0) * 10.0);
}

}  // namespace

std::vector<std::string> statisticsPanelLines(const PanelFigures& f) {
    const std::string roundTrip =
        f.roundTripMs > 0 ? format("%.0f ms", f.roundTripMs) : std::string("unknown");
    return {
        format("Stream      %dx%d %s, decoder %s", f.width, f.height, f.codec.c_str(),
               f.decoder.c_str()),
        format("Frames/s    received %.1f, presented %.1f", f.receivedFps, f.presentedFps),
        "Arrival to present " + medianAndP99(f.times.arrivalToPresent) + " (median / p99)",
        "Decode      " + medianAndP99(f.times.decode) + ", present " +
            medianAndP99(f.times.present),
        "Bitrate     " + bitrate(f.receivedBitsPerSecond) + ", target " +
            bitrate(static_cast<double>(f.targetBitsPerSecond)),
        "Round trip  " + roundTrip +
            format(", packets lost %llu (%.0f/s)", static_cast<unsigned long long>(f.packetsLost),
                   f.packetsLostPerSecond),
        format("Skipped %llu, broken %llu, dropped %llu, key-frame requests %llu",
               static_cast<unsigned long long>(f.skipped),
               static_cast<unsigned long long>(f.broken),
               static_cast<unsigned long long>(f.encodedDropped),
               static_cast<unsigned long long>(f.keyframeRequests)),
        format("Arrival to present, last 2 s (top %.0f ms):", graphTop(f.times)),
    };
}

StatisticsPanel::StatisticsPanel(SDL_Renderer* renderer, const FrameHistory& history)
    : renderer(renderer), history(history), text(renderer, 12, true, {235, 235, 235, 255}) {}

void StatisticsPanel::setFigures(const PanelFigures& figures) {
    text.setLines(statisticsPanelLines(figures));
    graphTopMs = graphTop(figures.times);
}

void StatisticsPanel::draw() const {
    if (!shown) {
        return;
    }
    const int innerW = std::max(text.width(), graphWidth);
    const SDL_Rect box{margin, margin, innerW + 2 * padding,
                       text.height() + graphHeight + 3 * padding};
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
    SDL_SetRenderDrawColor(renderer, background.r, background.g, background.b, background.a);
    SDL_RenderFillRect(renderer, &box);
    text.draw(box.x + padding, box.y + padding);
    drawGraph({box.x + padding, box.y + 2 * padding + text.height(), graphWidth, graphHeight});
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_NONE);
}

void StatisticsPanel::drawGraph(const SDL_Rect& area) const {
    SDL_SetRenderDrawColor(renderer, 255, 255, 255, 60);
    SDL_RenderDrawLine(renderer, area.x, area.y + area.h, area.x + area.w, area.y + area.h);
    const auto& frames = history.frames();
    if (frames.empty()) {
        return;
    }
    // The right edge is now, so the line runs out to the left when pictures stop.
    const auto now = FrameHistory::Clock::now();
    const double spanMs = std::chrono::duration<double, std::milli>(FrameHistory::span).count();
    std::vector<SDL_Point> points;
    points.reserve(frames.size());
    for (const auto& frame : frames) {
        const double ageMs = std::chrono::duration<double, std::milli>(now - frame.shown).count();
        if (ageMs > spanMs) {
            continue;
        }
        const double height = std::min(frame.arrivalToPresentMs / graphTopMs, 1.0);
        points.push_back({area.x + static_cast<int>((1.0 - ageMs / spanMs) * area.w),
                          area.y + area.h - static_cast<int>(height * area.h)});
    }
    SDL_SetRenderDrawColor(renderer, 90, 230, 120, 255);
    if (points.size() == 1) {
        SDL_RenderDrawPoint(renderer, points[0].x, points[0].y);
    } else if (!points.empty()) {
        SDL_RenderDrawLines(renderer, points.data(), static_cast<int>(points.size()));
    }
}
