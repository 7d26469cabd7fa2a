#pragma once

struct SDL_Window;

namespace platform {

// The operating system's handle of an SDL window, for the settings menu: the HWND on
// Windows. Null when SDL cannot tell it, which leaves the window without a menu.
using NativeWindowHandle = void*;

NativeWindowHandle nativeWindowHandle(SDL_Window* window);

}  // namespace platform
