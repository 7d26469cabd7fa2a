#include <gtest/gtest.h>

#include "TestScreen.hpp"
#include "video/StreamOverlay.hpp"

namespace {

using namespace testscreen;

const Rgb backdrop{150, 60, 200};

// Black bars around a violet picture, as the presenter leaves them, then the overlay.
void drawOverlay(const Screen& screen, const StreamOverlay& overlay,
                 const letterbox::Rect& picture) {
    SDL_SetRenderDrawColor(screen.get(), 0, 0, 0, 255);
    SDL_RenderClear(screen.get());
    SDL_SetRenderDrawColor(screen.get(), backdrop.r, backdrop.g, backdrop.b, 255);
    const SDL_Rect rect{picture.x, picture.y, picture.w, picture.h};
    SDL_RenderFillRect(screen.get(), &rect);
    overlay.draw(screen.get(), picture, screen.width());
    SDL_RenderPresent(screen.get());
}

TEST(StreamOverlay, cursorTipSitsAtThePictureCornersNotTheWindows) {
    Screen screen(640, 176);  // pillarboxed: picture at x 160..479
    const letterbox::Rect r = letterbox::pictureRect(640, 176, 320, 176);
    ASSERT_EQ(r, (letterbox::Rect{160, 0, 320, 176}));
    RemoteCursor cursor;
    const StreamOverlay overlay(cursor);

    drawOverlay(screen, overlay, r);
    // Hidden cursor: nothing drawn at the tip.
    EXPECT_TRUE(near(screen.at(r.x + 1, r.y + 8), backdrop, 0));

    cursor.cursorVisible = true;
    cursor.cursorX = 0;
    cursor.cursorY = 0;
    drawOverlay(screen, overlay, r);
    EXPECT_TRUE(near(screen.at(r.x, r.y + 8), white, 0)) << screen.at(r.x, r.y + 8);
    EXPECT_TRUE(near(screen.at(r.x + 8, r.y + 8), white, 0));    // diagonal stroke
    EXPECT_TRUE(near(screen.at(r.x + 1, r.y + 12), black, 0));   // shadow right of the stem
    EXPECT_TRUE(near(screen.at(r.x + 2, r.y + 14), backdrop, 0));  // untouched in between
}

TEST(StreamOverlay, menuButtonIsBlendedOverPictureAndBars) {
    // Letterboxed so the button straddles the top bar (y 0..27) and the picture below.
    Screen screen(480, 320);
    const letterbox::Rect r = letterbox::pictureRect(480, 320, 320, 176);
    ASSERT_EQ(r.y, 28);
    const letterbox::Rect b = letterbox::menuButtonRect(480);
    ASSERT_EQ(b.x, 426);
    RemoteCursor cursor;
    drawOverlay(screen, StreamOverlay(cursor), r);
    auto blend = [](int src, int alpha, int dst) {
        return (src * alpha + dst * (255 - alpha)) / 255;
    };

    const Rgb overBar = screen.at(b.x + 4, b.y + 4);
    EXPECT_TRUE(near(overBar, Rgb{blend(18, 155, 0), blend(18, 155, 0), blend(22, 155, 0)}, 2))
        << overBar;
    const Rgb overPicture = screen.at(b.x + 4, b.y + 36);
    EXPECT_TRUE(
        near(overPicture,
             Rgb{blend(18, 155, backdrop.r), blend(18, 155, backdrop.g), blend(22, 155, backdrop.b)}, 3))
        << overPicture;
    // Just outside the button the picture is untouched.
    EXPECT_TRUE(near(screen.at(b.x - 1, b.y + 36), backdrop, 0));
    EXPECT_TRUE(near(screen.at(b.x + 4, b.y + b.h), backdrop, 0));
    // The symbol's bars span x + 10 .. x + 30.
    EXPECT_GT(screen.at(b.x + 10, b.y + 28).r, 180);
    EXPECT_GT(screen.at(b.x + 30, b.y + 28).r, 180);
    EXPECT_TRUE(near(screen.at(b.x + 9, b.y + 28), overPicture, 1));
    EXPECT_TRUE(near(screen.at(b.x + 20, b.y + 24), overPicture, 1));
}

}  // namespace
