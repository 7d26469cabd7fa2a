#pragma once

#include <SDL.h>

#include <memory>

#include "platform/NativeWindow.hpp"

// SDL from SDL_Init to SDL_Quit; everything else made with SDL must be gone before this.
class SdlSession {
  public:
    SdlSession();  // throws std::runtime_error with SDL's error text
    ~SdlSession();
    SdlSession(const SdlSession&) = delete;
    SdlSession& operator=(const SdlSession&) = delete;
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
