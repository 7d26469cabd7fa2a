#include "app/MainLoop.hpp"

#include "app/StatisticsTitle.hpp"
#include "input/InputHandler.hpp"
#include "platform/PopupMenu.hpp"
#include "video/FrameQueue.hpp"
#include "video/KeyframeRequester.hpp"
#include "video/VideoDecoder.hpp"
#include "video/VideoPresenter.hpp"

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
        if (!drainOneFrame()) {
            SDL_Delay(1);
        }
        refreshStatisticsWhenDue();
    }
}

void MainLoop::handlePendingEvents() {
    // Every pending event before the next frame, so input never waits behind video.
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        dispatch(event);
    }
}

void MainLoop::dispatch(const SDL_Event& event) {
    if (event.type == SDL_QUIT) {
        // The events already queued are still handled; the loop ends at its next check.
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

bool MainLoop::drainOneFrame() {
    // A dropped frame or one the decoder refused leaves the picture broken until the next
    // key frame, so ask for one (rate-limited) instead of waiting for the sender's.
    parts.keyframes.poll(stats.framesDropped.load() + parts.decoder.decodeFailures());
    std::uint32_t timestamp = 0;
    Bytes frame = parts.frames.tryPop(&timestamp);
    if (frame.empty()) {
        return false;
    }
    // Every picture the frame yields is shown as it comes out of the decoder.
    parts.decoder.decode(frame.data(), frame.size(), timestamp,
                         [this](DecodedPicture picture) { parts.presenter.present(*picture); });
    return true;
}

void MainLoop::refreshStatisticsWhenDue() {
    if (Clock::now() < titleDeadline) {
        return;
    }
    const std::string title =
        statisticsTitle(stats.framesReceived.load(), parts.presenter.framesPresented(),
                        stats.audioPacketsPlayed.load(), stats.audioErrors.load());
    SDL_SetWindowTitle(window, title.c_str());
    log.write(title);
    log.write(frameOrderLine(stats.framesDropped.load(), parts.presenter.framesOutOfOrder()));
    titleDeadline = Clock::now() + statisticsInterval;
}
