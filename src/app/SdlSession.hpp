#pragma once

#include <SDL.h>

#include <memory>
#include <mutex>

#include "platform/NativeWindow.hpp"

// Lets another thread end the main thread's SDL loops (the main loop's, the menu's) with an
// SDL_QUIT event, but only while SDL runs: before SDL_Init and after SDL_Quit there is no
// event queue to push to.
class SdlQuitSender {
  public:
    void send();

  private:
    friend class SdlSession;
    std::mutex mutex;
    bool running = false;
};

// SDL from SDL_Init to SDL_Quit; everything else made with SDL must be gone before this.
class SdlSession {
  public:
    explicit SdlSession(SdlQuitSender& quit);  // throws std::runtime_error with SDL's error text
    ~SdlSession();
    SdlSession(const SdlSession&) = delete;
    SdlSession& operator=(const SdlSession&) = delete;

  private:
    SdlQuitSender& quit;
};

struct WindowDeleter {
    void operator()(SDL_Window* window) const { SDL_DestroyWindow(window); }
};
struct RendererDeleter {
    void operator()(SDL_Renderer* renderer) const { SDL_DestroyRenderer(renderer); }
};
using WindowPtr = std::unique_ptr<SDL_Window, WindowDeleter>;
using RendererPtr = std::unique_ptr<SDL_Renderer, RendererDeleter>;

// The client's one window. Members are destroyed in reverse order: the renderer before the
// window it draws into.
struct StreamWindow {
    WindowPtr window;
    RendererPtr renderer;
    platform::NativeWindowHandle nativeHandle = nullptr;  // null: no settings menu
};

inline constexpr const char* streamWindowTitle = "Quorvanta Native Client";

// Throws std::runtime_error with SDL's error text when the window or renderer cannot be made.
StreamWindow createStreamWindow();
