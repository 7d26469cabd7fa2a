#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "input/EventTexts.hpp"
#include "input/InputHandler.hpp"

namespace {

// A hidden window on SDL's dummy video driver, so sizes and mouse state are SDL's own.
class InputHandlerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();
    }
    static void TearDownTestSuite() { SDL_QuitSubSystem(SDL_INIT_VIDEO); }

    void SetUp() override {
        window.reset(SDL_CreateWindow("input", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 1280,
                                      720, SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE));
        ASSERT_TRUE(window) << SDL_GetError();
    }

    void makeHandler() {
        handler = std::make_unique<InputHandler>(
            window.get(), [this](const InputEvent& event) { sent.push_back(wireText(event)); },
            [this] { return picture; },
            [this](int x, int y) {
                menuRequests.push_back({x, y});
            },
            [] {});
    }

    void TearDown() override {
        handler.reset();
        SDL_SetRelativeMouseMode(SDL_FALSE);
        SDL_ShowCursor(SDL_ENABLE);
    }

    static SDL_Event key(Uint32 type, SDL_Keycode sym, Uint16 mod = KMOD_NONE, Uint8 repeat = 0) {
        SDL_Event event{};
        event.key.type = type;
        event.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
        event.key.repeat = repeat;
        event.key.keysym = {SDL_GetScancodeFromKey(sym), sym, mod, 0};
        return event;
    }
    static SDL_Event button(Uint32 type, Uint8 which, int x, int y) {
        SDL_Event event{};
        const Uint8 state = type == SDL_MOUSEBUTTONDOWN ? SDL_PRESSED : SDL_RELEASED;
        event.button = {type, 0, 0, 0, which, state, 1, 0, x, y};
        return event;
    }
    static SDL_Event wheel(int y, int x = 0) {
        SDL_Event event{};
        event.wheel = {SDL_MOUSEWHEEL, 0, 0, 0, x, y, SDL_MOUSEWHEEL_NORMAL, 0, 0, 0, 0};
        return event;
    }
    static SDL_Event windowEvent(Uint8 which) {
        SDL_Event event{};
        event.window = {SDL_WINDOWEVENT, 0, 0, which, 0, 0, 0, 0, 0};
        return event;
    }

    void dispatch(const std::vector<SDL_Event>& events) {
        for (const auto& event : events) {
            EXPECT_TRUE(handler->handleEvent(event)) << "event type " << event.type;
        }
    }

    // A click: captured afterwards, with nothing held.
    void capture() {
        dispatch({button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 100, 100),
                  button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 100, 100)});
        ASSERT_TRUE(handler->isMouseCaptured());
        sent.clear();
    }

    std::unique_ptr<SDL_Window, decltype(&SDL_DestroyWindow)> window{nullptr, SDL_DestroyWindow};
    InputHandler::PictureSize picture{1920, 1080};
    std::vector<std::string> sent;
    std::vector<std::pair<int, int>> menuRequests;
    std::unique_ptr<InputHandler> handler;
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
          key(SDL_KEYDOWN, SDLK_CAPSLOCK), key(SDL_KEYDOWN, SDLK_KP_5),
          key(SDL_KEYDOWN, SDLK_COMMA)},
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
        {"minimised", false, {button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 100, 100),
          windowEvent(SDL_WINDOWEVENT_MINIMIZED)},
         {ButtonEvent{1, true}, ButtonEvent{1, false}}, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        makeHandler();
        sent.clear();
        menuRequests.clear();
        if (c.captured) {
            capture();
        }
        dispatch(c.events);
        EXPECT_EQ(sent, texts(c.sent));
        EXPECT_EQ(handler->isMouseCaptured(), c.capturedAfter);
        EXPECT_EQ(menuRequests, c.menu);
    }
}

}  // namespace
