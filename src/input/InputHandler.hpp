#pragma once

#include <SDL.h>

#include <cstdint>
#include <functional>

#include "input/HeldInputs.hpp"
#include "input/InputEvent.hpp"

// Turns the stream window's keyboard and mouse events into input events for the server and
// owns the mouse capture. While captured, relative mode is on and motion goes as relative steps;
// while free, motion goes as an absolute position across the shown picture. Keys and buttons
// the server saw go down are released to it when the window will not see their release.
// Main thread only.
class InputHandler {
  public:
    struct PictureSize {
        int width = 0;
        int height = 0;
    };

    // Where events go (ControlChannel::sendInput in the client).
    using EventSink = std::function<void(const InputEvent& event)>;
    // The size of the picture being shown, for absolute positions.
    using PictureSizeSource = std::function<PictureSize()>;
    // Asks for the settings menu at the given window position.
    using MenuRequest = std::function<void(int x, int y)>;

    // The top-right square of the window that belongs to the menu button while the mouse is
    // free, and where the menu opens from its corner.
    static constexpr int menuCornerSize = 62;
    static constexpr int menuAnchorInset = 14;

    // Ctrl+Alt+Shift+S, captured or not.
    using StatisticsToggle = std::function<void()>;

    InputHandler(SDL_Window* window, EventSink sink, PictureSizeSource pictureSize,
                 MenuRequest openMenu, StatisticsToggle toggleStatistics = {});

    // One window event from the main loop. Returns true when the event was input and has
    // been dealt with here (keys, mouse, wheel, focus loss, the window hidden or minimised);
    // false for anything the main loop handles itself (quit, menu commands, other window
    // events).
    bool handleEvent(const SDL_Event& event);

    bool isMouseCaptured() const { return mouseCaptured; }
    void captureMouse();
    void releaseMouse();

    // Releases every key and button the server still holds, oldest press first, then frees
    // the mouse. At shutdown it must run while the channels are still open.
    void releaseAll();

  private:
    void handleKey(const SDL_KeyboardEvent& event);
    void handleMotion(const SDL_MouseMotionEvent& event);
    void handleButton(const SDL_MouseButtonEvent& event);
    void handleWheel(const SDL_MouseWheelEvent& event);
    void handleReleaseCombination();
    void releaseHeldInputs();
    void sendMouseMoveAbsolute(std::int32_t x, std::int32_t y);
    bool isReleaseCombination(const SDL_KeyboardEvent& event) const;
    // Takes the statistics combination's S, its repeats and its release; true when it did.
    bool takeStatisticsKey(const SDL_KeyboardEvent& event);
    bool isInMenuCorner(std::int32_t x, std::int32_t y) const;
    void toggleFullscreen();
    void send(const InputEvent& event);

    SDL_Window* window;
    EventSink sink;
    PictureSizeSource pictureSize;
    MenuRequest openMenu;
    StatisticsToggle toggleStatistics;
    HeldInputs held;
    // The S of the statistics combination is down: the server never saw it, so neither its
    // repeats nor its release go out.
    bool statisticsKeyDown = false;
    bool mouseCaptured = false;
};
