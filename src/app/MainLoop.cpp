#include "app/MainLoop.hpp"

#include <algorithm>

#include "app/StatisticsTitle.hpp"
#include "input/InputHandler.hpp"
#include "platform/PopupMenu.hpp"
#include "video/VideoPipeline.hpp"

MainLoop::MainLoop(SDL_Window* window, std::atomic<bool>& stopRequested, const StreamStats& stats,
                   EventLog& log, Parts parts)
    : window(window),
      stopRequested(stopRequested),
      stats(stats),
      log(log),
      parts(std::move(parts)),
      titleDeadline(Clock::now() + statisticsInterval) {}

void MainLoop::run() {
    while (!stopRequested.load()) {
        handlePendingEvents();
        parts.video.presentNewest();
        if (parts.afterPicture) {
            parts.afterPicture();
        }
        refreshStatisticsWhenDue();
        waitForWork();
    }
}

void MainLoop::handlePendingEvents() {
    // Every pending event before the next picture, so input never waits behind video.
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        dispatch(event);
    }
}

void MainLoop::dispatch(const SDL_Event& event) {
    if (event.type == parts.pictureReadyEvent) {
        return;  // the picture is taken by the present step
    }
    if (event.type == SDL_QUIT) {
        // The events already queued are still handled; the loop ends at its next check.
        if (parts.onQuit) {
            parts.onQuit();
        }
        stopRequested.exchange(true);
        return;
    }
    if (auto id = menuCommandFromEvent(event)) {
        if (parts.onMenuCommand) {
            parts.onMenuCommand(*id);
        }
        return;
    }
    // Keys, mouse, wheel, F11, the release combination, the menu corner and focus loss.
    parts.input.handleEvent(event);
}

void MainLoop::waitForWork() {
    if (stopRequested.load()) {
        return;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(titleDeadline - Clock::now()).count();
    const int timeoutMs = static_cast<int>(std::clamp<decltype(left)>(left, 0, 2000));
    SDL_Event event;
    if (SDL_WaitEventTimeout(&event, timeoutMs) != 0) {
        dispatch(event);
    }
}

void MainLoop::refreshStatisticsWhenDue() {
    if (Clock::now() < titleDeadline) {
        return;
    }
    const VideoPipeline::Figures video = parts.video.takeFigures();
    const std::string title =
        statisticsTitle(stats.framesReceived.load(), video.presented,
                        stats.audioPacketsPlayed.load(), stats.audioErrors.load());
    SDL_SetWindowTitle(window, title.c_str());
    log.write(title);
    log.write(videoStatisticsLine(stats.framesReceived.load(), stats.encodedFramesDropped.load(),
                                  video,
                                  parts.videoPackets ? parts.videoPackets() : rtc::ReceiveStats{}));
    if (parts.onInterval) {
        parts.onInterval();
    }
    titleDeadline = Clock::now() + statisticsInterval;
}
