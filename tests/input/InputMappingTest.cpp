#include <SDL.h>
#include <gtest/gtest.h>

#include <string>

#include "input/InputMapping.hpp"

namespace {

struct KeyCase {
    std::int32_t keycode;
    std::uint16_t virtualKey;
};

// The key table as the server's protocol gives it, row by row, every code written out.
// clang-format off
const KeyCase keyTable[] = {
    {SDLK_a, 65}, {SDLK_b, 66}, {SDLK_c, 67}, {SDLK_d, 68}, {SDLK_e, 69}, {SDLK_f, 70},
    {SDLK_g, 71}, {SDLK_h, 72}, {SDLK_i, 73}, {SDLK_j, 74}, {SDLK_k, 75}, {SDLK_l, 76},
    {SDLK_m, 77}, {SDLK_n, 78}, {SDLK_o, 79}, {SDLK_p, 80}, {SDLK_q, 81}, {SDLK_r, 82},
    {SDLK_s, 83}, {SDLK_t, 84}, {SDLK_u, 85}, {SDLK_v, 86}, {SDLK_w, 87}, {SDLK_x, 88},
    {SDLK_y, 89}, {SDLK_z, 90},

    {SDLK_0, 48}, {SDLK_1, 49}, {SDLK_2, 50}, {SDLK_3, 51}, {SDLK_4, 52}, {SDLK_5, 53},
    {SDLK_6, 54}, {SDLK_7, 55}, {SDLK_8, 56}, {SDLK_9, 57},

    {SDLK_F1, 112}, {SDLK_F2, 113}, {SDLK_F3, 114}, {SDLK_F4, 115}, {SDLK_F5, 116},
    {SDLK_F6, 117}, {SDLK_F7, 118}, {SDLK_F8, 119}, {SDLK_F9, 120}, {SDLK_F10, 121},
    {SDLK_F11, 122}, {SDLK_F12, 123},

    {SDLK_BACKSPACE, 8}, {SDLK_TAB, 9}, {SDLK_RETURN, 13}, {SDLK_ESCAPE, 27}, {SDLK_SPACE, 32},
    {SDLK_DELETE, 46}, {SDLK_INSERT, 45}, {SDLK_HOME, 36}, {SDLK_PAGEUP, 33}, {SDLK_END, 35},
    {SDLK_PAGEDOWN, 34}, {SDLK_RIGHT, 39}, {SDLK_LEFT, 37}, {SDLK_DOWN, 40}, {SDLK_UP, 38},
    {SDLK_LCTRL, 17}, {SDLK_RCTRL, 17}, {SDLK_LSHIFT, 16}, {SDLK_RSHIFT, 16}, {SDLK_LALT, 18},
    {SDLK_RALT, 18},

    // Outside the table, nothing is sent: the kinds of key it leaves out, and the neighbours
    // of each range it maps (backquote before a, brace after z, slash before 0, colon after 9,
    // Caps Lock before F1, Print Screen after F12).
    {SDLK_BACKQUOTE, 0}, {'{', 0}, {SDLK_SLASH, 0}, {SDLK_COLON, 0}, {SDLK_CAPSLOCK, 0},
    {SDLK_PRINTSCREEN, 0}, {SDLK_COMMA, 0}, {SDLK_KP_1, 0}, {SDLK_KP_ENTER, 0}, {SDLK_LGUI, 0},
    {SDLK_SCROLLLOCK, 0}, {SDLK_PAUSE, 0}, {SDLK_APPLICATION, 0}, {SDLK_F13, 0}, {'A', 0},
    {SDLK_UNKNOWN, 0}, {-1, 0},
};
// clang-format on

class KeyTableTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyTableTest, keycodeMapsToTheVirtualKeyOfTheTable) {
    EXPECT_EQ(mapKeyToVirtualKey(GetParam().keycode), GetParam().virtualKey)
        << SDL_GetKeyName(GetParam().keycode);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyTableTest, ::testing::ValuesIn(keyTable),
                         [](const auto& info) { return "keycode_" + std::to_string(info.index); });

struct ButtonCase {
    std::uint8_t sdlButton;
    std::int32_t wireButton;
};

class ButtonTableTest : public ::testing::TestWithParam<ButtonCase> {};

TEST_P(ButtonTableTest, rightAndMiddleSwapPlacesOnTheWire) {
    EXPECT_EQ(mapMouseButton(GetParam().sdlButton), GetParam().wireButton);
}

INSTANTIATE_TEST_SUITE_P(Buttons, ButtonTableTest,
                         ::testing::Values(ButtonCase{SDL_BUTTON_LEFT, 1},
                                           ButtonCase{SDL_BUTTON_RIGHT, 2},
                                           ButtonCase{SDL_BUTTON_MIDDLE, 3},
                                           ButtonCase{SDL_BUTTON_X1, 4},
                                           ButtonCase{SDL_BUTTON_X2, 5}, ButtonCase{0, 0},
                                           ButtonCase{6, 0}, ButtonCase{255, 0}));

}  // namespace
