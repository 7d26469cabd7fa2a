#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "input/HeldInputs.hpp"
#include "input/InputHandler.hpp"

namespace {

// Events compared as their wire texts, which print readably in a failed expectation.
std::vector<std::string> texts(const std::vector<InputEvent>& events) {
    std::vector<std::string> out;
    for (const auto& event : events) {
        out.push_back(wireText(event));
    }
    return out;
}

struct ReleaseCase {
    const char* fault;  // what a wrong record would do
    std::vector<InputEvent> sent;
    std::vector<InputEvent> releases;
};

const KeyEvent aDown{65, true}, aUp{65, false}, bDown{66, true}, bUp{66, false};
const ButtonEvent leftDown{1, true}, leftUp{1, false}, rightDown{2, true}, rightUp{2, false};

const ReleaseCase releaseCases[] = {
    {"auto-repeat released more than once", {aDown, aDown, aDown}, {aUp}},
    {"a key the server saw go up released again", {aDown, aUp}, {}},
    {"not in the order of the presses", {bDown, leftDown, aDown}, {bUp, leftUp, aUp}},
    {"a key pressed again after its release kept in its old place",
     {aDown, bDown, aUp, aDown},
     {bUp, aUp}},
    {"a button released with its neighbour", {leftDown, rightDown, leftUp}, {rightUp}},
    {"a release without its press remembered", {KeyEvent{122, false}, rightUp}, {}},
    {"motion or wheel taken for a press",
     {WheelEvent{1}, RelativeMotionEvent{1, 1}, AbsoluteMotionEvent{5, 5}},
     {}},
};

TEST(HeldInputsTest, everyPressTheServerSawIsReleasedOnceInPressOrder) {
    for (const auto& c : releaseCases) {
        HeldInputs held;
        for (const auto& event : c.sent) {
            held.follow(event);
        }
        EXPECT_EQ(texts(held.takeReleases()), texts(c.releases)) << c.fault;
        EXPECT_TRUE(held.takeReleases().empty()) << c.fault << " (released twice)";
    }
}

SDL_Event key(Uint32 type, SDL_Keycode sym, Uint16 mod = KMOD_NONE, Uint8 repeat = 0) {
    const Uint8 state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
    return {.key = {type, 0, 0, state, repeat, 0, 0, {SDL_GetScancodeFromKey(sym), sym, mod, 0}}};
}
SDL_Event button(Uint32 type, Uint8 which, int x, int y) {
    const Uint8 state = type == SDL_MOUSEBUTTONDOWN ? SDL_PRESSED : SDL_RELEASED;
    return {.button = {type, 0, 0, 0, which, state, 1, 0, x, y}};
}
SDL_Event wheel(int y, int x = 0) {
    return {.wheel = {SDL_MOUSEWHEEL, 0, 0, 0, x, y, SDL_MOUSEWHEEL_NORMAL, 0, 0, 0, 0}};
}
SDL_Event windowEvent(Uint8 which) {
    return {.window = {SDL_WINDOWEVENT, 0, 0, which, 0, 0, 0, 0, 0}};
}

// A hidden window on SDL's dummy video driver, so sizes and mouse state are SDL's own.
class InputHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();
        window = SDL_CreateWindow("input", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 1280,
                                  720, SDL_WINDOW_HIDDEN);
        ASSERT_TRUE(window) << SDL_GetError();
    }
    void TearDown() override {
        SDL_SetRelativeMouseMode(SDL_FALSE);
        SDL_ShowCursor(SDL_ENABLE);
        SDL_DestroyWindow(window);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    }

    SDL_Window* window = nullptr;
};

using Events = std::vector<InputEvent>;
using Corners = std::vector<std::pair<int, int>>;

// What goes out for a few events, free or captured (by a click first, nothing held). The
// window is 1280 x 720 and its menu corner reaches 62 pixels in from the top right.
TEST_F(InputHandlerTest, eventsBecomeTheseMessagesFreeOrCaptured) {
    const Uint16 noShift = KMOD_CTRL | KMOD_ALT;
    struct Case {
        const char* what;
        bool captured;
        std::vector<SDL_Event> events;
        Events sent;
        bool capturedAfter;
        Corners menu = {};
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"auto-repeat sends every press, unmapped keys nothing", false,
         {key(SDL_KEYDOWN, SDLK_a), key(SDL_KEYDOWN, SDLK_a, KMOD_NONE, 1), key(SDL_KEYUP, SDLK_a),
          key(SDL_KEYDOWN, SDLK_CAPSLOCK)},
         {KeyEvent{65, true}, KeyEvent{65, true}, KeyEvent{65, false}}, false},
        {"the release combination while free is an ordinary Q", false,
         {key(SDL_KEYDOWN, SDLK_q, noShift | KMOD_SHIFT)}, {KeyEvent{81, true}}, false},
        {"Q missing one of the three modifiers while captured", true,
         {key(SDL_KEYDOWN, SDLK_q, KMOD_CTRL | KMOD_SHIFT),
          key(SDL_KEYDOWN, SDLK_q, KMOD_ALT | KMOD_SHIFT), key(SDL_KEYDOWN, SDLK_q, noShift)},
         Events(3, KeyEvent{81, true}), true},
        {"a release while free sends the position first", false,
         {button(SDL_MOUSEBUTTONUP, SDL_BUTTON_RIGHT, 640, 360)},
         {AbsoluteMotionEvent{32767, 32767}, ButtonEvent{2, false}}, false},
        {"the wheel's vertical amount only", true, {wheel(0, 3), wheel(-2, 1)},
         {WheelEvent{0}, WheelEvent{-2}}, true},
        {"clicks in the corner's edges ask for the menu", false,
         {button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 1218, 62),
          button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 1218, 62),
          button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_RIGHT, 1279, 0),
          button(SDL_MOUSEBUTTONUP, SDL_BUTTON_RIGHT, 1279, 0)},
         {}, false, {{1266, 14}, {1266, 14}}},
        {"left of the corner", false, {button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 1217, 10)},
         {ButtonEvent{1, true}}, true},
        {"below the corner", false, {button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 1250, 63)},
         {ButtonEvent{1, true}}, true},
        {"the corner while captured belongs to the game", true,
         {button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 1270, 5),
          button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 1270, 5)},
         {ButtonEvent{1, true}, ButtonEvent{1, false}}, true},
        // Once the window cannot see a release, what is held is released (order: HeldInputs).
        {"focus lost", true, {key(SDL_KEYDOWN, SDLK_w), windowEvent(SDL_WINDOWEVENT_FOCUS_LOST)},
         {KeyEvent{87, true}, KeyEvent{87, false}}, false},
        {"hidden", true, {key(SDL_KEYDOWN, SDLK_w), windowEvent(SDL_WINDOWEVENT_HIDDEN)},
         {KeyEvent{87, true}, KeyEvent{87, false}}, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> sent;
        Corners menu;
        const auto send = [&](const InputEvent& event) { sent.push_back(wireText(event)); };
        const auto picture = [] { return InputHandler::PictureSize{1920, 1080}; };
        const auto openMenu = [&](int x, int y) { menu.push_back({x, y}); };
        InputHandler handler(window, send, picture, openMenu, [] {});
        if (c.captured) {
            for (Uint32 type : {SDL_MOUSEBUTTONDOWN, SDL_MOUSEBUTTONUP}) {
                handler.handleEvent(button(type, SDL_BUTTON_LEFT, 100, 100));
            }
            ASSERT_TRUE(handler.isMouseCaptured());
            sent.clear();
        }
        for (const SDL_Event& event : c.events) {
            EXPECT_TRUE(handler.handleEvent(event)) << "event type " << event.type;
        }
        EXPECT_EQ(sent, texts(c.sent));
        EXPECT_EQ(handler.isMouseCaptured(), c.capturedAfter);
        EXPECT_EQ(menu, c.menu);
    }
}

}  // namespace
