#include <SDL.h>
#include <gtest/gtest.h>

#include <string>

#include "input/InputMapping.hpp"

namespace {

struct KeyCase {
    std::int32_t keycode;
    std::uint16_t virtualKey;
};

std::vector<KeyCase> keyTable() {
    std::vector<KeyCase> cases;
    for (int i = 0; i < 26; ++i) {
        cases.push_back({SDLK_a + i, static_cast<std::uint16_t>('A' + i)});
    }
    for (int i = 0; i < 10; ++i) {
        cases.push_back({SDLK_0 + i, static_cast<std::uint16_t>('0' + i)});
    }
    const std::int32_t functionKeys[] = {SDLK_F1, SDLK_F2, SDLK_F3, SDLK_F4,  SDLK_F5,  SDLK_F6,
                                         SDLK_F7, SDLK_F8, SDLK_F9, SDLK_F10, SDLK_F11, SDLK_F12};
    for (int i = 0; i < 12; ++i) {
        cases.push_back({functionKeys[i], static_cast<std::uint16_t>(112 + i)});
    }
    const KeyCase named[] = {
        {SDLK_BACKSPACE, 8}, {SDLK_TAB, 9},     {SDLK_RETURN, 13},   {SDLK_ESCAPE, 27},
        {SDLK_SPACE, 32},    {SDLK_DELETE, 46}, {SDLK_INSERT, 45},   {SDLK_HOME, 36},
        {SDLK_PAGEUP, 33},   {SDLK_END, 35},    {SDLK_PAGEDOWN, 34}, {SDLK_RIGHT, 39},
        {SDLK_LEFT, 37},     {SDLK_DOWN, 40},   {SDLK_UP, 38},       {SDLK_LCTRL, 17},
        {SDLK_RCTRL, 17},    {SDLK_LSHIFT, 16}, {SDLK_RSHIFT, 16},   {SDLK_LALT, 18},
        {SDLK_RALT, 18},
    };
    cases.insert(cases.end(), std::begin(named), std::end(named));
    // Outside the table: nothing is sent for these.
    for (const std::int32_t unmapped :
         std::initializer_list<std::int32_t>{SDLK_CAPSLOCK,
                                             SDLK_KP_1,
                                             SDLK_KP_ENTER,
                                             SDLK_COMMA,
                                             SDLK_PERIOD,
                                             SDLK_MINUS,
                                             SDLK_SEMICOLON,
                                             SDLK_BACKQUOTE,
                                             SDLK_LGUI,
                                             SDLK_RGUI,
                                             SDLK_PRINTSCREEN,
                                             SDLK_SCROLLLOCK,
                                             SDLK_PAUSE,
                                             SDLK_APPLICATION,
                                             SDLK_F13,
                                             SDLK_NUMLOCKCLEAR,
                                             SDLK_UNKNOWN,
                                             static_cast<std::int32_t>('A'),
                                             static_cast<std::int32_t>('@'),
                                             static_cast<std::int32_t>('['),
                                             static_cast<std::int32_t>('{'),
                                             -1,
                                             static_cast<std::int32_t>(0x40000039),
                                             static_cast<std::int32_t>(0x40000046)}) {
        cases.push_back({unmapped, 0});
    }
    return cases;
}

class KeyTableTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyTableTest, keycodeMapsToItsVirtualKey) {
    EXPECT_EQ(mapKeyToVirtualKey(GetParam().keycode), GetParam().virtualKey)
        << SDL_GetKeyName(GetParam().keycode);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyTableTest, ::testing::ValuesIn(keyTable()),
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
