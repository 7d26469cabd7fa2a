#include "video/RendererChoice.hpp"

#include <SDL.h>

#include "platform/Display.hpp"

void chooseRenderer() {
    if (!platform::graphicsHardwarePresent()) {
        SDL_SetHint(SDL_HINT_RENDER_DRIVER, "software");
        SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    }
}
