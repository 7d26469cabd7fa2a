#include "input/InputMapping.hpp"

#include <SDL.h>

std::uint16_t mapKeyToVirtualKey(std::int32_t keycode) {
    if (keycode >= SDLK_a && keycode <= SDLK_z) {
        return static_cast<std::uint16_t>(keycode - 32);
    }
    if (keycode >= SDLK_0 && keycode <= SDLK_9) {
        return static_cast<std::uint16_t>(keycode);
    }
    if (keycode >= SDLK_F1 && keycode <= SDLK_F12) {
        return static_cast<std::uint16_t>(112 + (keycode - SDLK_F1));
    }
    switch (keycode) {
        case SDLK_BACKSPACE:
            return 8;
        case SDLK_TAB:
            return 9;
        case SDLK_RETURN:
            return 13;
        case SDLK_ESCAPE:
            return 27;
        case SDLK_SPACE:
            return 32;
        case SDLK_DELETE:
            return 46;
        case SDLK_INSERT:
            return 45;
        case SDLK_HOME:
            return 36;
        case SDLK_PAGEUP:
            return 33;
        case SDLK_END:
            return 35;
        case SDLK_PAGEDOWN:
            return 34;
        case SDLK_RIGHT:
            return 39;
        case SDLK_LEFT:
            return 37;
        case SDLK_DOWN:
            return 40;
        case SDLK_UP:
            return 38;
        case SDLK_LCTRL:
        case SDLK_RCTRL:
            return 17;
        case SDLK_LSHIFT:
        case SDLK_RSHIFT:
            return 16;
        case SDLK_LALT:
        case SDLK_RALT:
            return 18;
        default:
            return 0;
    }
}

std::int32_t mapMouseButton(std::uint8_t button) {
    switch (button) {
        case SDL_BUTTON_LEFT:
            return 1;
        case SDL_BUTTON_RIGHT:
            return 2;
        case SDL_BUTTON_MIDDLE:
            return 3;
        case SDL_BUTTON_X1:
            return 4;
        case SDL_BUTTON_X2:
            return 5;
        default:
            return 0;
    }
}
