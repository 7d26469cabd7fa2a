#include <SDL.h>
#include <gtest/gtest.h>

#include <utility>

#include "input/InputMapping.hpp"

namespace {

// The key table as the server's protocol gives it: letters and digits as their capital ASCII
// codes, F1..F12 as 112..123, then the named keys; each range by its ends.
TEST(KeyTable, keycodesMapToTheVirtualKeysOfTheTable) {
    // clang-format off
    const std::pair<std::int32_t, std::uint16_t> table[] = {
        {SDLK_a, 'A'}, {SDLK_q, 'Q'}, {SDLK_z, 'Z'}, {SDLK_0, '0'}, {SDLK_9, '9'}, {SDLK_F1, 112},
        {SDLK_F2, 113}, {SDLK_F12, 123},
        {SDLK_BACKSPACE, 8}, {SDLK_TAB, 9}, {SDLK_RETURN, 13}, {SDLK_ESCAPE, 27}, {SDLK_SPACE, 32},
        {SDLK_DELETE, 46}, {SDLK_INSERT, 45}, {SDLK_HOME, 36}, {SDLK_PAGEUP, 33}, {SDLK_END, 35},
        {SDLK_PAGEDOWN, 34}, {SDLK_RIGHT, 39}, {SDLK_LEFT, 37}, {SDLK_DOWN, 40}, {SDLK_UP, 38},
        {SDLK_LCTRL, 17}, {SDLK_RCTRL, 17}, {SDLK_LSHIFT, 16}, {SDLK_RSHIFT, 16}, {SDLK_LALT, 18},
        {SDLK_RALT, 18},
        // Outside the table, nothing: other keys and the neighbours of each mapped range.
        {SDLK_BACKQUOTE, 0}, {'{', 0}, {SDLK_SLASH, 0}, {SDLK_COLON, 0}, {SDLK_CAPSLOCK, 0},
        {SDLK_PRINTSCREEN, 0}, {SDLK_COMMA, 0}, {SDLK_KP_1, 0}, {SDLK_KP_ENTER, 0}, {SDLK_LGUI, 0},
        {SDLK_SCROLLLOCK, 0}, {SDLK_PAUSE, 0}, {SDLK_APPLICATION, 0}, {SDLK_F13, 0}, {'A', 0},
        {SDLK_UNKNOWN, 0}, {-1, 0},
    };
    // clang-format on
    for (const auto& [keycode, virtualKey] : table) {
        EXPECT_EQ(mapKeyToVirtualKey(keycode), virtualKey) << SDL_GetKeyName(keycode);
    }
}

TEST(ButtonTable, rightAndMiddleSwapPlacesOnTheWire) {
    const std::pair<std::uint8_t, std::int32_t> buttons[] = {{SDL_BUTTON_LEFT, 1},
                                                             {SDL_BUTTON_RIGHT, 2},
                                                             {SDL_BUTTON_MIDDLE, 3},
                                                             {SDL_BUTTON_X1, 4},
                                                             {SDL_BUTTON_X2, 5},
                                                             {0, 0},
                                                             {6, 0}};
    for (const auto& [sdl, wire] : buttons) {
        EXPECT_EQ(mapMouseButton(sdl), wire) << int(sdl);
    }
}

}  // namespace
