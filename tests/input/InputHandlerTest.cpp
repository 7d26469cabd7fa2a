#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "input/InputHandler.hpp"

namespace {

// A real hidden window on SDL's dummy video driver, so window sizes and mouse state are
// SDL's own.
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
        makeHandler();
    }

    void makeHandler() {
        handler = std::make_unique<InputHandler>(
            window.get(), [this](const InputEvent& event) { sent.push_back(wireText(event)); },
            [this] { return picture; },
            [this](int x, int y) {
                menuRequests.push_back({x, y});
            },
            [this] { ++statisticsToggles; });
    }

    void TearDown() override {
        handler.reset();
        SDL_SetRelativeMouseMode(SDL_FALSE);
        SDL_ShowCursor(SDL_ENABLE);
    }

    static SDL_Event key(Uint32 type, SDL_Keycode sym, Uint16 mod = KMOD_NONE, Uint8 repeat = 0) {
        SDL_Event event{};
        event.type = type;
        event.key.type = type;
        event.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
        event.key.repeat = repeat;
        event.key.keysym.sym = sym;
        event.key.keysym.scancode = SDL_GetScancodeFromKey(sym);
        event.key.keysym.mod = mod;
        return event;
    }

    static SDL_Event button(Uint32 type, Uint8 which, int x, int y) {
        SDL_Event event{};
        event.type = type;
        event.button.type = type;
        event.button.button = which;
        event.button.state = type == SDL_MOUSEBUTTONDOWN ? SDL_PRESSED : SDL_RELEASED;
        event.button.clicks = 1;
        event.button.x = x;
        event.button.y = y;
        return event;
    }

    static SDL_Event motion(int x, int y, int dx, int dy) {
        SDL_Event event{};
        event.type = SDL_MOUSEMOTION;
        event.motion.type = SDL_MOUSEMOTION;
        event.motion.x = x;
        event.motion.y = y;
        event.motion.xrel = dx;
        event.motion.yrel = dy;
        return event;
    }

    static SDL_Event wheel(int y, int x = 0) {
        SDL_Event event{};
        event.type = SDL_MOUSEWHEEL;
        event.wheel.type = SDL_MOUSEWHEEL;
        event.wheel.x = x;
        event.wheel.y = y;
        event.wheel.direction = SDL_MOUSEWHEEL_NORMAL;
        return event;
    }

    static SDL_Event windowEvent(Uint8 which) {
        SDL_Event event{};
        event.type = SDL_WINDOWEVENT;
        event.window.type = SDL_WINDOWEVENT;
        event.window.event = which;
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

    struct WindowDeleter {
        void operator()(SDL_Window* w) const { SDL_DestroyWindow(w); }
    };
    std::unique_ptr<SDL_Window, WindowDeleter> window;
    InputHandler::PictureSize picture{1920, 1080};
    std::vector<std::string> sent;
    std::vector<std::pair<int, int>> menuRequests;
    int statisticsToggles = 0;
    std::unique_ptr<InputHandler> handler;
};

using Messages = std::vector<std::string>;

TEST_F(InputHandlerTest, shiftAIsSentByKeyInPressOrderWithoutCapturingTheMouse) {
    dispatch({key(SDL_KEYDOWN, SDLK_LSHIFT, KMOD_LSHIFT), key(SDL_KEYDOWN, SDLK_a, KMOD_LSHIFT),
              key(SDL_KEYUP, SDLK_a, KMOD_LSHIFT), key(SDL_KEYUP, SDLK_LSHIFT)});
    EXPECT_EQ(sent, (Messages{R"({"down":true,"type":"key","vk":16})",
                              R"({"down":true,"type":"key","vk":65})",
                              R"({"down":false,"type":"key","vk":65})",
                              R"({"down":false,"type":"key","vk":16})"}));
    EXPECT_FALSE(handler->isMouseCaptured());
}

TEST_F(InputHandlerTest, autoRepeatSendsEveryPressAndUnmappedKeysSendNothing) {
    dispatch({key(SDL_KEYDOWN, SDLK_a), key(SDL_KEYDOWN, SDLK_a, KMOD_NONE, 1),
              key(SDL_KEYDOWN, SDLK_a, KMOD_NONE, 1), key(SDL_KEYUP, SDLK_a),
              key(SDL_KEYDOWN, SDLK_CAPSLOCK), key(SDL_KEYUP, SDLK_CAPSLOCK),
              key(SDL_KEYDOWN, SDLK_KP_5), key(SDL_KEYDOWN, SDLK_COMMA)});
    EXPECT_EQ(sent, (Messages{R"({"down":true,"type":"key","vk":65})",
                              R"({"down":true,"type":"key","vk":65})",
                              R"({"down":true,"type":"key","vk":65})",
                              R"({"down":false,"type":"key","vk":65})"}));
}

TEST_F(InputHandlerTest, qWithModifiersIsAnOrdinaryKeyUnlessAllThreeAreHeldWhileCaptured) {
    // Free: not the combination.
    dispatch({key(SDL_KEYDOWN, SDLK_q, KMOD_CTRL | KMOD_ALT | KMOD_SHIFT)});
    // Captured, one modifier missing.
    capture();
    dispatch({key(SDL_KEYDOWN, SDLK_q, KMOD_CTRL | KMOD_SHIFT),
              key(SDL_KEYDOWN, SDLK_q, KMOD_ALT | KMOD_SHIFT),
              key(SDL_KEYDOWN, SDLK_q, KMOD_CTRL | KMOD_ALT)});
    EXPECT_EQ(sent, Messages(3, R"({"down":true,"type":"key","vk":81})"));
    EXPECT_TRUE(handler->isMouseCaptured());
}

TEST_F(InputHandlerTest, f11PressTogglesFullScreenAndOnlyItsReleaseIsSent) {
    dispatch({key(SDL_KEYDOWN, SDLK_F11)});
    EXPECT_TRUE(sent.empty());
    const Uint32 fullscreenBits = SDL_WINDOW_FULLSCREEN | SDL_WINDOW_FULLSCREEN_DESKTOP;
    EXPECT_NE(SDL_GetWindowFlags(window.get()) & fullscreenBits, 0u);
    dispatch({key(SDL_KEYUP, SDLK_F11), key(SDL_KEYDOWN, SDLK_F11)});
    EXPECT_EQ(sent, Messages{R"({"down":false,"type":"key","vk":122})"});
    EXPECT_EQ(SDL_GetWindowFlags(window.get()) & fullscreenBits, 0u);
}

TEST_F(InputHandlerTest, pressCapturesWithoutSendingAPositionFirst) {
    dispatch({button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 640, 360)});
    EXPECT_EQ(sent, Messages{R"({"button":1,"down":true,"type":"mouse_button"})"});
    EXPECT_TRUE(handler->isMouseCaptured());
    EXPECT_EQ(SDL_ShowCursor(SDL_QUERY), SDL_DISABLE);

    sent.clear();
    dispatch({button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 640, 360),
              button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_RIGHT, 1, 1),
              button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_MIDDLE, 1, 1)});
    EXPECT_EQ(sent, (Messages{R"({"button":1,"down":false,"type":"mouse_button"})",
                              R"({"button":2,"down":true,"type":"mouse_button"})",
                              R"({"button":3,"down":true,"type":"mouse_button"})"}));
}

TEST_F(InputHandlerTest, unmappedButtonStillCapturesButSendsNothing) {
    dispatch({button(SDL_MOUSEBUTTONDOWN, 9, 10, 10)});
    EXPECT_TRUE(sent.empty());
    EXPECT_TRUE(handler->isMouseCaptured());
}

TEST_F(InputHandlerTest, releaseWhileFreeSendsThePositionThenTheButton) {
    dispatch({button(SDL_MOUSEBUTTONUP, SDL_BUTTON_RIGHT, 640, 360)});
    EXPECT_EQ(sent, (Messages{R"({"type":"mouse_move_absolute","x":32767,"y":32767})",
                              R"({"button":2,"down":false,"type":"mouse_button"})"}));
    EXPECT_FALSE(handler->isMouseCaptured());
}

TEST_F(InputHandlerTest, motionIsAbsoluteWhileFreeAndRelativeWhileCaptured) {
    dispatch({motion(1279, 719, 4, 4)});
    capture();
    dispatch({motion(5, 5, -3, 7)});
    dispatch({windowEvent(SDL_WINDOWEVENT_FOCUS_LOST)});
    dispatch({motion(0, 0, 1, 1)});
    EXPECT_EQ(sent, (Messages{R"({"dx":-3,"dy":7,"type":"mouse_move"})",
                              R"({"type":"mouse_move_absolute","x":0,"y":0})"}));
}

TEST_F(InputHandlerTest, absolutePositionFollowsTheWindowAndPictureSize) {
    dispatch({motion(1279, 719, 0, 0)});
    SDL_SetWindowSize(window.get(), 800, 800);
    dispatch({motion(400, 100, 0, 0)});
    picture = {0, 0};  // nothing presented yet
    dispatch({motion(400, 400, 0, 0)});
    EXPECT_EQ(sent, (Messages{R"({"type":"mouse_move_absolute","x":65483,"y":65443})",
                              R"({"type":"mouse_move_absolute","x":32767,"y":0})"}));
}

TEST_F(InputHandlerTest, wheelSendsTheVerticalAmountOnly) {
    dispatch({wheel(1), wheel(-1)});
    EXPECT_EQ(sent, (Messages{R"({"delta":1,"type":"mouse_wheel"})",
                              R"({"delta":-1,"type":"mouse_wheel"})"}));
    capture();
    dispatch({wheel(0, 3), wheel(-2, 1)});
    EXPECT_EQ(sent, (Messages{R"({"delta":0,"type":"mouse_wheel"})",
                              R"({"delta":-2,"type":"mouse_wheel"})"}));
}

TEST_F(InputHandlerTest, cornerClickWhileFreeAsksForTheMenuAndSendsNothing) {
    dispatch({button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 1218, 62),
              button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 1218, 62),
              button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_RIGHT, 1279, 0),
              button(SDL_MOUSEBUTTONUP, SDL_BUTTON_RIGHT, 1279, 0)});
    EXPECT_TRUE(sent.empty());
    EXPECT_FALSE(handler->isMouseCaptured());
    EXPECT_EQ(menuRequests, (std::vector<std::pair<int, int>>{{1266, 14}, {1266, 14}}));

    // Just outside the corner: an ordinary click.
    dispatch({button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 1217, 10)});
    EXPECT_TRUE(handler->isMouseCaptured());
    sent.clear();
    handler->releaseMouse();
    dispatch({button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 1250, 63)});
    EXPECT_EQ(sent, Messages{R"({"button":1,"down":true,"type":"mouse_button"})"});
    EXPECT_EQ(menuRequests.size(), 2u);
}

TEST_F(InputHandlerTest, cornerClickWhileCapturedGoesToTheGame) {
    capture();
    dispatch({button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 1270, 5),
              button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 1270, 5)});
    EXPECT_EQ(sent, (Messages{R"({"button":1,"down":true,"type":"mouse_button"})",
                              R"({"button":1,"down":false,"type":"mouse_button"})"}));
    EXPECT_TRUE(menuRequests.empty());
}

// Whenever the window can no longer see a release, what the server saw go down is released
// to it: once, oldest press first. Held here: the left button (which captured), W repeated,
// Shift. The statistics combination, by contrast, keeps its S from the server altogether.
TEST_F(InputHandlerTest, heldKeysAndButtonsAreReleasedOnceWhenTheWindowLosesThem) {
    const Uint16 all = KMOD_LCTRL | KMOD_LALT | KMOD_LSHIFT;
    struct Case {
        const char* trigger;
        std::vector<SDL_Event> events;  // none: the client shuts down
        Messages sent;
        bool mouseFreed;
        int statisticsToggles = 0;
    };
    const Messages heldReleased = {R"({"button":1,"down":false,"type":"mouse_button"})",
                                   R"({"down":false,"type":"key","vk":87})",
                                   R"({"down":false,"type":"key","vk":16})"};
    const std::vector<Case> cases = {
        {"focus lost", {windowEvent(SDL_WINDOWEVENT_FOCUS_LOST)}, heldReleased, true},
        {"hidden", {windowEvent(SDL_WINDOWEVENT_HIDDEN)}, heldReleased, false},
        {"minimised", {windowEvent(SDL_WINDOWEVENT_MINIMIZED)}, heldReleased, false},
        {"shutdown", {}, heldReleased, true},
        // The fixed four first; Shift is among them and is not released a second time.
        {"release combination",
         {key(SDL_KEYDOWN, SDLK_LCTRL, KMOD_LCTRL | KMOD_LSHIFT), key(SDL_KEYDOWN, SDLK_LALT, all),
          key(SDL_KEYDOWN, SDLK_q, all)},
         {R"({"down":true,"type":"key","vk":17})", R"({"down":true,"type":"key","vk":18})",
          R"({"down":false,"type":"key","vk":81})", R"({"down":false,"type":"key","vk":16})",
          R"({"down":false,"type":"key","vk":17})", R"({"down":false,"type":"key","vk":18})",
          R"({"button":1,"down":false,"type":"mouse_button"})",
          R"({"down":false,"type":"key","vk":87})"},
         true},
        // S pressed, repeated and released, then the modifiers: only the modifiers go out.
        {"statistics combination",
         {key(SDL_KEYDOWN, SDLK_LCTRL, KMOD_LCTRL | KMOD_LSHIFT), key(SDL_KEYDOWN, SDLK_LALT, all),
          key(SDL_KEYDOWN, SDLK_s, all), key(SDL_KEYDOWN, SDLK_s, all, 1),
          key(SDL_KEYUP, SDLK_s, all), key(SDL_KEYUP, SDLK_LALT, KMOD_LCTRL | KMOD_LSHIFT),
          key(SDL_KEYUP, SDLK_LCTRL, KMOD_LSHIFT), key(SDL_KEYDOWN, SDLK_s, KMOD_LSHIFT),
          windowEvent(SDL_WINDOWEVENT_FOCUS_LOST)},
         {R"({"down":true,"type":"key","vk":17})", R"({"down":true,"type":"key","vk":18})",
          R"({"down":false,"type":"key","vk":18})", R"({"down":false,"type":"key","vk":17})",
          R"({"down":true,"type":"key","vk":83})",
          R"({"button":1,"down":false,"type":"mouse_button"})",
          R"({"down":false,"type":"key","vk":87})", R"({"down":false,"type":"key","vk":16})",
          R"({"down":false,"type":"key","vk":83})"},
         true,
         1},
    };
    for (const auto& c : cases) {
        statisticsToggles = 0;
        makeHandler();
        dispatch({button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 100, 100), key(SDL_KEYDOWN, SDLK_w),
                  key(SDL_KEYDOWN, SDLK_w, KMOD_NONE, 1),
                  key(SDL_KEYDOWN, SDLK_LSHIFT, KMOD_LSHIFT)});
        sent.clear();
        if (c.events.empty()) {
            handler->releaseAll();
        } else {
            dispatch(c.events);
        }
        EXPECT_EQ(sent, c.sent) << c.trigger;
        EXPECT_EQ(handler->isMouseCaptured(), !c.mouseFreed) << c.trigger;
        EXPECT_EQ(statisticsToggles, c.statisticsToggles) << c.trigger;
        sent.clear();
        handler->releaseAll();
        EXPECT_EQ(sent, Messages{}) << c.trigger << " released something twice";
    }
    EXPECT_EQ(SDL_ShowCursor(SDL_QUERY), SDL_ENABLE);
}

TEST_F(InputHandlerTest, eventsForTheMainLoopAreLeftAlone) {
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    SDL_Event text{};
    text.type = SDL_TEXTINPUT;
    SDL_Event controller{};
    controller.type = SDL_CONTROLLERBUTTONDOWN;
    EXPECT_FALSE(handler->handleEvent(quit));
    EXPECT_FALSE(handler->handleEvent(text));
    EXPECT_FALSE(handler->handleEvent(controller));
    EXPECT_FALSE(handler->handleEvent(windowEvent(SDL_WINDOWEVENT_RESIZED)));
    // Only a mouse press captures, never the focus coming back.
    EXPECT_FALSE(handler->handleEvent(windowEvent(SDL_WINDOWEVENT_FOCUS_GAINED)));
    EXPECT_FALSE(handler->isMouseCaptured());
    EXPECT_TRUE(sent.empty());
}

}  // namespace
