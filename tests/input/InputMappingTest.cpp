#include <SDL.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/InputMapping.hpp"

namespace {

struct KeyCase {
    std::int32_t keycode;
    std::uint16_t virtualKey;
};

// The key table as the server's protocol gives it: letters and digits as their capital ASCII
// codes, F1..F12 as 112..123, then the named keys.
std::vector<KeyCase> keyTable() {
    std::vector<KeyCase> table;
    for (int i = 0; i < 26; ++i) {
        table.push_back({SDLK_a + i, static_cast<std::uint16_t>('A' + i)});
    }
    for (int i = 0; i < 10; ++i) {
        table.push_back({SDLK_0 + i, static_cast<std::uint16_t>('0' + i)});
    }
    const SDL_Keycode functionKeys[] = {SDLK_F1, SDLK_F2, SDLK_F3, SDLK_F4,  SDLK_F5,  SDLK_F6,
                                        SDLK_F7, SDLK_F8, SDLK_F9, SDLK_F10, SDLK_F11, SDLK_F12};
    for (int i = 0; i < 12; ++i) {
        table.push_back({functionKeys[i], static_cast<std::uint16_t>(112 + i)});
    }
    // clang-format off
    table.insert(table.end(), {
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
    });
    // clang-format on
    return table;
}

TEST(KeyTable, keycodesMapToTheVirtualKeysOfTheTable) {
    for (const KeyCase& c : keyTable()) {
        EXPECT_EQ(mapKeyToVirtualKey(c.keycode), c.virtualKey) << SDL_GetKeyName(c.keycode);
    }
}

TEST(ButtonTable, rightAndMiddleSwapPlacesOnTheWire) {
    const std::pair<std::uint8_t, std::int32_t> buttons[] = {{SDL_BUTTON_LEFT, 1},
                                                             {SDL_BUTTON_RIGHT, 2},
                                                             {SDL_BUTTON_MIDDLE, 3},
                                                             {SDL_BUTTON_X1, 4},
                                                             {SDL_BUTTON_X2, 5},
                                                             {0, 0},
                                                             {6, 0},
                                                             {255, 0}};
    for (const auto& [sdl, wire] : buttons) {
        EXPECT_EQ(mapMouseButton(sdl), wire) << int(sdl);
    }
}

}  // namespace
