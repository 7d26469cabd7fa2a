#include "platform/NativeWindow.hpp"

#include <SDL.h>
#include <SDL_syswm.h>

namespace platform {

// The menu on Linux is drawn with SDL into the window itself, so the handle only has to say
// that the window system answered; the SDL window stands for it.
NativeWindowHandle nativeWindowHandle(SDL_Window* window) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!window || !SDL_GetWindowWMInfo(window, &info)) {
        return nullptr;
    }
    return window;
}

}  // namespace platform
