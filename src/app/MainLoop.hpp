#pragma once

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "app/EventLog.hpp"
#include "app/StreamStats.hpp"

// The main thread from the end of start-up until stopRequested: all pending window events,
// then at most one video frame, then every 2 s the statistics in the title and the log.
// Each row of the event table is one member function, so the subsystems that handle input,
// the menu and video connect at their own row.
class MainLoop {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds statisticsInterval{2};

    MainLoop(SDL_Window* window, std::atomic<bool>& stopRequested, const StreamStats& stats,
             EventLog& log);

    // Returns once stopRequested is set (window closed, SIGINT/SIGTERM, or the connection lost).
    void run();

  private:
    void handlePendingEvents();
    void dispatch(const SDL_Event& event);

    // Event rows.
    void onQuit();
    void onWindowEvent(const SDL_WindowEvent& event);
    void onFocusLost();
    void onKeyDown(const SDL_KeyboardEvent& event);
    void toggleFullScreen();

    // Loop steps.
    bool drainOneFrame();
    void refreshStatisticsWhenDue();
    std::uint64_t framesPresented() const;

    SDL_Window* window;
    std::atomic<bool>& stopRequested;
    const StreamStats& stats;
    EventLog& log;
    Clock::time_point titleDeadline;
};
