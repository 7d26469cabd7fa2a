#include <gtest/gtest.h>

#include <array>

#include "base/Letterbox.hpp"

using letterbox::Rect;

namespace {

TEST(Letterbox, pictureKeepsItsAspectWithBarsOnTheLongSide) {
    struct Case {
        int outputW, outputH, pictureW, pictureH;
        Rect expected;
    };
    const Case cases[] = {
        {1920, 1200, 1280, 720, {0, 60, 1920, 1080}},    // taller output: bars above and below
        {2560, 1080, 1920, 1080, {320, 0, 1920, 1080}},  // wider output: bars left and right
        {1001, 500, 1920, 1080, {56, 0, 888, 500}},      // the odd pixel goes to the far side
        {0, 720, 1920, 1080, {0, 0, 0, 720}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.pictureW << "x" << c.pictureH << " in " << c.outputW << "x" << c.outputH);
        const Rect r = letterbox::pictureRect(c.outputW, c.outputH, c.pictureW, c.pictureH);
        EXPECT_EQ(r, c.expected);
    }
    for (auto [outputW, expectedX] : {std::pair{1280, 1226}, {62, 8}, {60, 8}, {0, 8}}) {
        EXPECT_EQ(letterbox::menuButtonRect(outputW), (Rect{expectedX, 14, 40, 40})) << outputW;
    }
}

// Window positions map to 0..65535 across the shown 16:9 picture; the bars clamp to its edges.
// Columns: window width and height, position, the expected position (-1: none).
TEST(Letterbox, absolutePositionsFollowTheShownPicture) {
    const int cases[][6] = {
        {1280, 720, 640, 360, 32767, 32767},
        {1280, 720, 1279, 719, 65483, 65443},
        {1000, 500, 0, 250, 0, 32767},
        {1000, 500, 999, 250, 65535, 32767},
        {1000, 500, 500, 499, 32767, 65403},
        {800, 800, 400, 100, 32767, 0},
        {800, 800, 400, 799, 32767, 65535},
        {1280, 720, -50, 5000, 0, 65535},
        {0, 720, 1, 1, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "(" << c[2] << "," << c[3] << ") in " << c[0] << "x" << c[1]);
        const auto p = letterbox::absolutePosition(c[0], c[1], 1920, 1080, c[2], c[3]);
        EXPECT_EQ((p ? std::array{p->x, p->y} : std::array{-1, -1}), (std::array{c[4], c[5]}));
    }
    EXPECT_FALSE(letterbox::absolutePosition(1280, 720, 0, 1080, 1, 1));
}

}  // namespace
