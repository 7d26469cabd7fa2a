#pragma once

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "base/EventLog.hpp"
#include "base/StreamStats.hpp"
#include "rtc/rtc.hpp"

class InputHandler;
class VideoPipeline;

// The main thread from the end of start-up until stopRequested: all pending window events,
// then the newest decoded picture, then every 2 s the statistics in the title and the log.
// Between these it sleeps until a window event, a new picture or the statistics are due.
class MainLoop {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds statisticsInterval{2};

    // What the loop drives besides the window; all owned by the caller.
    struct Parts {
        VideoPipeline& video;
        InputHandler& input;
        // The SDL event type the decode thread pushes when a picture is ready; it only wakes.
        Uint32 pictureReadyEvent;
        // What the engine has seen of the video packets.
        std::function<rtc::ReceiveStats()> videoPackets;
        // A command chosen in the settings menu.
        std::function<void(int id)> onMenuCommand;
        // The window's quit event: the player closed it, or another thread stops the loop.
        std::function<void()> onQuit;
        // Once per turn after the picture: the window's other contents (progress until the
        // first picture, the statistics panel's figures).
        std::function<void()> afterPicture;
        // Once per statistics interval: watches what has no event of its own (stalled
        // channels).
        std::function<void()> onInterval;
    };

    MainLoop(SDL_Window* window, std::atomic<bool>& stopRequested, const StreamStats& stats,
             EventLog& log, Parts parts);

    // Returns once stopRequested is set (window closed, SIGINT/SIGTERM, or the connection
    // lost). Whoever sets it from another thread also pushes an event, or the loop notices at
    // the next statistics refresh.
    void run();

  private:
    void handlePendingEvents();
    void dispatch(const SDL_Event& event);

    // Loop steps.
    void refreshStatisticsWhenDue();
    void waitForWork();

    SDL_Window* window;
    std::atomic<bool>& stopRequested;
    const StreamStats& stats;
    EventLog& log;
    Parts parts;
    Clock::time_point titleDeadline;
};
