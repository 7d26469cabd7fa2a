#include "app/MainLoop.hpp"

#include "app/StatisticsTitle.hpp"

MainLoop::MainLoop(SDL_Window* window, std::atomic<bool>& stopRequested, const StreamStats& stats,
                   EventLog& log)
    : window(window),
      stopRequested(stopRequested),
      stats(stats),
      log(log),
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
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        dispatch(event);
    }
}

void MainLoop::dispatch(const SDL_Event& event) {
    switch (event.type) {
        case SDL_QUIT:
            onQuit();
            break;
        case SDL_WINDOWEVENT:
            onWindowEvent(event.window);
            break;
        case SDL_KEYDOWN:
            onKeyDown(event.key);
            break;
        default:
            break;
    }
}

void MainLoop::onQuit() {
    // The events already queued are still handled; the loop ends at its next check.
    stopRequested.exchange(true);
}

void MainLoop::onWindowEvent(const SDL_WindowEvent& event) {
    if (event.event == SDL_WINDOWEVENT_FOCUS_LOST) {
        onFocusLost();
    }
}

void MainLoop::onFocusLost() {
    // Releases the mouse once input capture exists; until then the mouse is never captured.
}

void MainLoop::onKeyDown(const SDL_KeyboardEvent& event) {
    if (event.keysym.sym == SDLK_F11) {
        toggleFullScreen();  // not forwarded to the game
    }
}

void MainLoop::toggleFullScreen() {
    const Uint32 fullScreenBits = SDL_WINDOW_FULLSCREEN | SDL_WINDOW_FULLSCREEN_DESKTOP;
    const bool fullScreen = (SDL_GetWindowFlags(window) & fullScreenBits) != 0;
    SDL_SetWindowFullscreen(window, fullScreen ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP);
}

bool MainLoop::drainOneFrame() {
    // No video pipeline yet: nothing is ever waiting, and the loop sleeps 1 ms.
    return false;
}

std::uint64_t MainLoop::framesPresented() const {
    return 0;  // counted by the video pipeline once it presents frames
}

void MainLoop::refreshStatisticsWhenDue() {
    if (Clock::now() < titleDeadline) {
        return;
    }
    const std::string title =
        statisticsTitle(stats.framesReceived.load(), framesPresented(),
                        stats.audioPacketsPlayed.load(), stats.audioErrors.load());
    SDL_SetWindowTitle(window, title.c_str());
    log.write(title);
    titleDeadline = Clock::now() + statisticsInterval;
}
