#include <gtest/gtest.h>

#include "base/Letterbox.hpp"

using letterbox::Point;
using letterbox::Rect;

namespace {

struct FitCase {
    int outputW, outputH, pictureW, pictureH;
    Rect expected;
};

TEST(Letterbox, pictureKeepsItsAspectWithBarsOnTheLongSide) {
    const FitCase cases[] = {
        // Output taller than the picture: bars above and below.
        {1920, 1200, 1280, 720, {0, 60, 1920, 1080}},
        // Output wider: bars left and right.
        {2560, 1080, 1920, 1080, {320, 0, 1920, 1080}},
        // Same aspect: fills the output, no bars.
        {1280, 720, 1920, 1080, {0, 0, 1280, 720}},
        // Odd leftovers split with the extra pixel on the far side.
        {1001, 500, 1920, 1080, {56, 0, 888, 500}},
        // A square picture in a landscape output.
        {640, 480, 240, 240, {80, 0, 480, 480}},
        // No output area: nothing to fit.
        {0, 0, 1920, 1080, {0, 0, 0, 0}},
        {0, 720, 1920, 1080, {0, 0, 0, 720}},
    };
    for (const FitCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.pictureW << "x" << c.pictureH << " in " << c.outputW << "x" << c.outputH);
        const Rect r = letterbox::pictureRect(c.outputW, c.outputH, c.pictureW, c.pictureH);
        EXPECT_EQ(r.x, c.expected.x);
        EXPECT_EQ(r.y, c.expected.y);
        EXPECT_EQ(r.w, c.expected.w);
        EXPECT_EQ(r.h, c.expected.h);
    }
}

TEST(Letterbox, menuButtonHugsTheTopRightButNeverLeavesTheLeftEdge) {
    const std::pair<int, int> cases[] = {{1280, 1226}, {1920, 1866}, {62, 8}, {60, 8}, {0, 8}};
    for (auto [outputW, expectedX] : cases) {
        SCOPED_TRACE(outputW);
        EXPECT_EQ(letterbox::menuButtonRect(outputW), (Rect{expectedX, 14, 40, 40}));
    }
}

TEST(Letterbox, cursorSpansThePictureNotTheWindow) {
    const Rect picture{320, 0, 1920, 1080};
    EXPECT_EQ(letterbox::cursorPosition(picture, 0, 0), (Point{320, 0}));
    EXPECT_EQ(letterbox::cursorPosition(picture, 65535, 65535), (Point{2240, 1080}));
    EXPECT_EQ(letterbox::cursorPosition(picture, 32768, 32768), (Point{1280, 540}));
    const Rect letterboxed{0, 60, 1920, 1080};
    EXPECT_EQ(letterbox::cursorPosition(letterboxed, 0, 0), (Point{0, 60}));
    EXPECT_EQ(letterbox::cursorPosition(letterboxed, 65535, 65535), (Point{1920, 1140}));
}

struct MapCase {
    int windowW, windowH, x, y;
    int expectedX, expectedY;
};

TEST(Letterbox, absolutePositionsFollowTheShownPicture) {
    // All with a 16:9 picture.
    const MapCase cases[] = {
        {1280, 720, 640, 360, 32767, 32767},
        {1280, 720, 1279, 719, 65483, 65443},
        {1280, 720, 0, 0, 0, 0},
        // Positions on the side bars clamp to the picture's left and right edges.
        {1000, 500, 0, 250, 0, 32767},
        {1000, 500, 999, 250, 65535, 32767},
        // Positions on the top bar clamp to the top edge.
        {800, 800, 400, 100, 32767, 0},
        {800, 800, 400, 799, 32767, 65535},
    };
    for (const MapCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "(" << c.x << "," << c.y << ") in " << c.windowW << "x" << c.windowH);
        const auto p = letterbox::absolutePosition(c.windowW, c.windowH, 1920, 1080, c.x, c.y);
        ASSERT_TRUE(p.has_value());
        EXPECT_EQ(p->x, c.expectedX);
        EXPECT_EQ(p->y, c.expectedY);
    }
}

TEST(Letterbox, absolutePositionLandsWhereTheCursorIsDrawn) {
    // A click on any pixel of the picture, mapped and drawn back, lands within a pixel of it.
    const int sizes[][2] = {{1280, 720}, {1000, 500}, {800, 800}, {2560, 1080}};
    for (auto [windowW, windowH] : sizes) {
        const Rect picture = letterbox::pictureRect(windowW, windowH, 1920, 1080);
        for (int i = 0; i <= 10; ++i) {
            const int x = picture.x + (picture.w - 1) * i / 10;
            const int y = picture.y + (picture.h - 1) * (10 - i) / 10;
            const auto mapped = letterbox::absolutePosition(windowW, windowH, 1920, 1080, x, y);
            ASSERT_TRUE(mapped.has_value());
            const Point drawn = letterbox::cursorPosition(picture, mapped->x, mapped->y);
            EXPECT_NEAR(drawn.x, x, 1) << windowW << "x" << windowH << " i=" << i;
            EXPECT_NEAR(drawn.y, y, 1) << windowW << "x" << windowH << " i=" << i;
        }
    }
}

TEST(Letterbox, noAbsolutePositionWithoutAnArea) {
    EXPECT_FALSE(letterbox::absolutePosition(0, 720, 1920, 1080, 1, 1).has_value());
    EXPECT_FALSE(letterbox::absolutePosition(1280, 0, 1920, 1080, 1, 1).has_value());
    EXPECT_FALSE(letterbox::absolutePosition(1280, 720, 0, 1080, 1, 1).has_value());
}

}  // namespace
