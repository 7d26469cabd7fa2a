#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "InputEcho.hpp"

namespace {

std::optional<SceneState> feed(InputEcho& echo, const char* text) {
    return echo.onMessage(nlohmann::json::parse(text, nullptr, false));
}

TEST(InputEchoTest, cursorFollowsTheAbsolutePointerAndHidesOnceWhileMotionIsRelative) {
    InputEcho echo;
    std::optional<SceneState> moved =
        feed(echo, R"({"type":"mouse_move_absolute","x":100,"y":200})");
    ASSERT_TRUE(moved);
    EXPECT_TRUE(moved->cursorVisible);
    EXPECT_EQ(moved->cursorX, 100);
    EXPECT_EQ(moved->cursorY, 200);

    // The first relative step hides the cursor where it was; the rest of a burst redraws nothing.
    std::optional<SceneState> relative = feed(echo, R"({"type":"mouse_move","dx":3,"dy":-2})");
    ASSERT_TRUE(relative);
    EXPECT_FALSE(relative->cursorVisible);
    EXPECT_EQ(relative->cursorX, 100);
    EXPECT_EQ(relative->background, moved->background);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(feed(echo, R"({"type":"mouse_move","dx":1,"dy":1})"));
    }

    std::optional<SceneState> back =
        feed(echo, R"({"type":"mouse_move_absolute","x":0,"y":65535})");
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->cursorVisible);
    EXPECT_EQ(back->cursorX, 0);
    EXPECT_EQ(back->cursorY, 65535);
}

TEST(InputEchoTest, positionsOutsideThePictureAreClampedToItsEdges) {
    InputEcho echo;
    feed(echo, R"({"type":"mouse_move_absolute","x":-40,"y":1e300})");
    EXPECT_EQ(echo.scene().cursorX, 0);
    EXPECT_EQ(echo.scene().cursorY, 65535);
    feed(echo, R"({"type":"mouse_move_absolute","x":70000.7,"y":12.9})");
    EXPECT_EQ(echo.scene().cursorX, 65535);
    EXPECT_EQ(echo.scene().cursorY, 12);
}

TEST(InputEchoTest, everyPressStepsTheBackgroundAndReleasesDoNot) {
    InputEcho echo;
    const int first = echo.scene().background;
    std::optional<SceneState> key = feed(echo, R"({"down":true,"type":"key","vk":65})");
    ASSERT_TRUE(key);
    EXPECT_NE(key->background, first);

    EXPECT_FALSE(feed(echo, R"({"down":false,"type":"key","vk":65})"));
    EXPECT_FALSE(feed(echo, R"({"button":1,"down":false,"type":"mouse_button"})"));
    std::optional<SceneState> click =
        feed(echo, R"({"button":1,"down":true,"type":"mouse_button"})");
    ASSERT_TRUE(click);
    EXPECT_NE(click->background, key->background);

    // Twice around the whole cycle, always inside it, and back where it was.
    for (int i = 0; i < sceneBackgroundCount * 2; ++i) {
        std::optional<SceneState> press = feed(echo, R"({"down":true,"type":"key","vk":66})");
        ASSERT_TRUE(press);
        EXPECT_GE(press->background, 0);
        EXPECT_LT(press->background, sceneBackgroundCount);
    }
    EXPECT_EQ(echo.scene().background, click->background);
}

TEST(InputEchoTest, whatIsNotAnInputMessageChangesNothing) {
    InputEcho echo;
    feed(echo, R"({"type":"mouse_move_absolute","x":5,"y":6})");
    const SceneState before = echo.scene();
    const char* ignored[] = {
        "not json",
        "[1,2]",
        R"({"x":1,"y":2})",
        R"({"type":7})",
        R"({"type":"mouse_move_absolute","x":"1","y":2})",
        R"({"type":"mouse_move_absolute","x":1})",
        R"({"type":"key","vk":65,"down":"yes"})",
        R"({"type":"key","vk":65})",
        R"({"type":"mouse_wheel","delta":1})",
        R"({"type":"cursor","x":1,"y":1,"visible":true})",
    };
    for (const char* text : ignored) {
        EXPECT_FALSE(feed(echo, text)) << text;
        EXPECT_EQ(echo.scene(), before) << text;
    }
}

}  // namespace
