#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "InputEcho.hpp"

namespace {

nlohmann::json parsed(const std::optional<std::string>& text) {
    return text ? nlohmann::json::parse(*text) : nlohmann::json();
}

TEST(InputEchoTest, cursorFollowsTheAbsolutePointerAndHidesOnceWhileMotionIsRelative) {
    InputEcho echo;
    InputEcho::Reaction moved = echo.onMessage(R"({"type":"mouse_move_absolute","x":100,"y":200})");
    EXPECT_EQ(parsed(moved.cursorMessage),
              nlohmann::json({{"type", "cursor"}, {"x", 100}, {"y", 200}, {"visible", true}}));
    ASSERT_TRUE(moved.scene);
    EXPECT_TRUE(moved.scene->cursorVisible);
    EXPECT_EQ(moved.scene->cursorX, 100);
    EXPECT_EQ(moved.scene->cursorY, 200);

    // The first relative step hides the cursor where it was; a burst says nothing more.
    InputEcho::Reaction relative = echo.onMessage(R"({"type":"mouse_move","dx":3,"dy":-2})");
    EXPECT_EQ(parsed(relative.cursorMessage),
              nlohmann::json({{"type", "cursor"}, {"x", 100}, {"y", 200}, {"visible", false}}));
    ASSERT_TRUE(relative.scene);
    EXPECT_FALSE(relative.scene->cursorVisible);
    for (int i = 0; i < 3; ++i) {
        InputEcho::Reaction again = echo.onMessage(R"({"type":"mouse_move","dx":1,"dy":1})");
        EXPECT_FALSE(again.cursorMessage);
        EXPECT_FALSE(again.scene);
    }

    // Free again: shown at the new place.
    InputEcho::Reaction back = echo.onMessage(R"({"type":"mouse_move_absolute","x":0,"y":65535})");
    EXPECT_EQ(parsed(back.cursorMessage),
              nlohmann::json({{"type", "cursor"}, {"x", 0}, {"y", 65535}, {"visible", true}}));
}

TEST(InputEchoTest, positionsOutsideThePictureAreClampedToItsEdges) {
    InputEcho echo;
    echo.onMessage(R"({"type":"mouse_move_absolute","x":-40,"y":1e300})");
    EXPECT_EQ(echo.scene().cursorX, 0);
    EXPECT_EQ(echo.scene().cursorY, 65535);
    echo.onMessage(R"({"type":"mouse_move_absolute","x":70000.7,"y":12.9})");
    EXPECT_EQ(echo.scene().cursorX, 65535);
    EXPECT_EQ(echo.scene().cursorY, 12);
}

TEST(InputEchoTest, everyPressStepsTheBackgroundAndReleasesDoNot) {
    InputEcho echo;
    const int first = echo.scene().background;
    InputEcho::Reaction key = echo.onMessage(R"({"down":true,"type":"key","vk":65})");
    ASSERT_TRUE(key.scene);
    EXPECT_NE(key.scene->background, first);
    EXPECT_FALSE(key.cursorMessage);

    EXPECT_FALSE(echo.onMessage(R"({"down":false,"type":"key","vk":65})").scene);
    EXPECT_FALSE(echo.onMessage(R"({"button":1,"down":false,"type":"mouse_button"})").scene);
    InputEcho::Reaction click = echo.onMessage(R"({"button":1,"down":true,"type":"mouse_button"})");
    ASSERT_TRUE(click.scene);
    EXPECT_NE(click.scene->background, key.scene->background);

    // Around the whole cycle and back, always inside it.
    for (int i = 0; i < sceneBackgroundCount * 2; ++i) {
        InputEcho::Reaction press = echo.onMessage(R"({"down":true,"type":"key","vk":66})");
        ASSERT_TRUE(press.scene);
        EXPECT_GE(press.scene->background, 0);
        EXPECT_LT(press.scene->background, sceneBackgroundCount);
    }
    EXPECT_EQ(echo.scene().background, click.scene->background);
}

TEST(InputEchoTest, whatIsNotAnInputMessageChangesNothing) {
    InputEcho echo;
    echo.onMessage(R"({"type":"mouse_move_absolute","x":5,"y":6})");
    const SceneState before = echo.scene();
    const char* ignored[] = {
        "",
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
        InputEcho::Reaction reaction = echo.onMessage(text);
        EXPECT_FALSE(reaction.cursorMessage) << text;
        EXPECT_FALSE(reaction.scene) << text;
        EXPECT_EQ(echo.scene(), before) << text;
    }
}

}  // namespace
