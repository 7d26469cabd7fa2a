#pragma once

#include <SDL.h>

#include <atomic>
#include <functional>

#include "video/TextBlock.hpp"

// Until the first picture, the window says in plain words what the client is waiting for, over
// the black background. Start-up draws each of its stages at once; later stages are set from
// the engine's threads and drawn by the main loop.
class StartupProgress {
  public:
    enum class Stage { LoggingIn, FindingSession, WaitingForOffer, Connecting, WaitingForPicture };

    static const char* text(Stage stage);

    // `wake` nudges the main loop from another thread.
    StartupProgress(SDL_Renderer* renderer, std::function<void()> wake);

    // Main thread: sets the stage and draws it now.
    void show(Stage stage);
    // Any thread; only ever moves forward.
    void advance(Stage stage);
    // Main thread: draws the stage when it changed since the last drawing.
    void drawWhenChanged();

  private:
    void draw(Stage stage);

    SDL_Renderer* renderer;
    std::function<void()> wake;
    TextBlock label;
    std::atomic<int> stage{0};
    int drawn = -1;
};
