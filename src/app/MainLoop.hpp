#pragma once

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "base/EventLog.hpp"
#include "base/StreamStats.hpp"

class FrameQueue;
class InputHandler;
class KeyframeRequester;
class VideoDecoder;
class VideoPresenter;

// The main thread from the end of start-up until stopRequested: all pending window events,
// then at most one video frame, then every 2 s the statistics in the title and the log.
class MainLoop {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds statisticsInterval{2};

    // What the loop drives besides the window; all owned by the caller.
    struct Parts {
        FrameQueue& frames;
        VideoDecoder& decoder;
        VideoPresenter& presenter;
        KeyframeRequester& keyframes;
        InputHandler& input;
        // A command chosen in the settings menu.
        std::function<void(int id)> onMenuCommand;
    };

    MainLoop(SDL_Window* window, std::atomic<bool>& stopRequested, const StreamStats& stats,
             EventLog& log, Parts parts);

    // Returns once stopRequested is set (window closed, SIGINT/SIGTERM, or the connection lost).
    void run();

  private:
    void handlePendingEvents();
    void dispatch(const SDL_Event& event);

    // Loop steps.
    bool drainOneFrame();
    void refreshStatisticsWhenDue();

    SDL_Window* window;
    std::atomic<bool>& stopRequested;
    const StreamStats& stats;
    EventLog& log;
    Parts parts;
    Clock::time_point titleDeadline;
};
