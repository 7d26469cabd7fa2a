#include <gtest/gtest.h>

#include "base/Letterbox.hpp"

namespace {

struct PositionCase {
    int windowWidth;
    int windowHeight;
    int pictureWidth;
    int pictureHeight;
    int x;
    int y;
    std::int32_t expectedX;
    std::int32_t expectedY;
};

class AbsolutePositionTest : public ::testing::TestWithParam<PositionCase> {};

TEST_P(AbsolutePositionTest, windowPositionMapsAcrossTheLetterboxedPicture) {
    const auto& c = GetParam();
    const auto position = letterbox::absolutePosition(c.windowWidth, c.windowHeight, c.pictureWidth,
                                                      c.pictureHeight, c.x, c.y);
    ASSERT_TRUE(position.has_value());
    EXPECT_EQ(position->x, c.expectedX);
    EXPECT_EQ(position->y, c.expectedY);
}

INSTANTIATE_TEST_SUITE_P(
    Letterbox, AbsolutePositionTest,
    ::testing::Values(
        // Same aspect: the picture fills the window.
        PositionCase{1280, 720, 1920, 1080, 640, 360, 32767, 32767},
        PositionCase{1280, 720, 1920, 1080, 1279, 719, 65483, 65443},
        PositionCase{1280, 720, 1920, 1080, 0, 0, 0, 0},
        // Wider window: bars left and right (picture from about 55.6 to 944.4).
        PositionCase{1000, 500, 1920, 1080, 0, 250, 0, 32767},
        PositionCase{1000, 500, 1920, 1080, 999, 250, 65535, 32767},
        PositionCase{1000, 500, 1920, 1080, 500, 0, 32767, 0},
        PositionCase{1000, 500, 1920, 1080, 500, 499, 32767, 65403},
        // Taller window: 175-pixel bars at top and bottom.
        PositionCase{800, 800, 1920, 1080, 400, 100, 32767, 0},
        PositionCase{800, 800, 1920, 1080, 400, 175, 32767, 0},
        PositionCase{800, 800, 1920, 1080, 400, 400, 32767, 32767},
        PositionCase{800, 800, 1920, 1080, 0, 700, 0, 65535},
        // Outside the window altogether (events of a drag leaving it) clamp as well.
        PositionCase{1280, 720, 1920, 1080, -50, 5000, 0, 65535}));

}  // namespace
