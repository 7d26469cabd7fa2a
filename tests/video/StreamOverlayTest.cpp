#include <gtest/gtest.h>

#include "TestScreen.hpp"
#include "video/StatisticsPanel.hpp"
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
    EXPECT_TRUE(near(screen.at(r.x + 8, r.y + 8), white, 0));      // diagonal stroke
    EXPECT_TRUE(near(screen.at(r.x + 1, r.y + 12), black, 0));     // shadow right of the stem
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
    EXPECT_TRUE(near(
        overPicture,
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

PanelFigures busyStream() {
    PanelFigures f;
    f.width = 1920;
    f.height = 1080;
    f.codec = "h264";
    f.decoder = "vaapi";
    f.receivedFps = 60;
    f.presentedFps = 59.5;
    f.times.arrivalToPresent = {12.34, 31.5, 44.1};
    f.times.decode = {3.2, 6.04, 7};
    f.times.present = {0.6, 1.24, 2};
    f.receivedBitsPerSecond = 11.84e6;
    f.targetBitsPerSecond = 12000000;
    f.roundTripMs = 1.4;
    f.packetsLost = 12;
    f.packetsLostPerSecond = 2;
    f.skipped = 3;
    f.broken = 1;
    f.encodedDropped = 4;
    f.keyframeRequests = 2;
    return f;
}

TEST(StatisticsPanel, figuresReadAsText) {
    const std::vector<std::string> busy = {
        "Stream      1920x1080 h264, decoder vaapi",
        "Frames/s    received 60.0, presented 59.5",
        "Arrival to present 12.3 / 31.5 ms (median / p99)",
        "Decode      3.2 / 6.0 ms, present 0.6 / 1.2 ms",
        "Bitrate     11.8 Mbit/s, target 12.0 Mbit/s",
        "Round trip  1 ms, packets lost 12 (2/s)",
        "Skipped 3, broken 1, dropped 4, key-frame requests 2",
        "Arrival to present, last 2 s (top 50 ms):",
    };
    EXPECT_EQ(statisticsPanelLines(busyStream()), busy);

    // What changes with a quiet stream: the lines below, the rest as above.
    struct Case {
        void (*change)(PanelFigures&);
        std::size_t line;
        std::string text;
    };
    const std::vector<Case> cases = {
        {[](PanelFigures& f) { f.roundTripMs = 0; }, 5,
         "Round trip  unknown, packets lost 12 (2/s)"},
        {[](PanelFigures& f) { f.receivedBitsPerSecond = 48000; }, 4,
         "Bitrate     48 kbit/s, target 12.0 Mbit/s"},
        {[](PanelFigures& f) { f.times.arrivalToPresent.max = 3; }, 7,
         "Arrival to present, last 2 s (top 20 ms):"},
    };
    for (const auto& c : cases) {
        PanelFigures f = busyStream();
        c.change(f);
        EXPECT_EQ(statisticsPanelLines(f).at(c.line), c.text);
    }
}

TEST(StatisticsPanel, showsATranslucentPanelInTheTopLeftCornerOnlyOnceToggled) {
    Screen screen(640, 360);
    const letterbox::Rect r = letterbox::pictureRect(640, 360, 640, 360);
    RemoteCursor cursor;
    FrameHistory history;
    StatisticsPanel panel(screen.get(), history);
    panel.setFigures(busyStream());
    const StreamOverlay overlay(cursor, &panel);
    const int inside = StatisticsPanel::margin + 2;  // in the padding, clear of the text

    drawOverlay(screen, overlay, r);
    const Rgb hidden = screen.at(inside, inside);
    panel.toggle();
    drawOverlay(screen, overlay, r);
    const auto blend = [](int src, int dst) {
        const int alpha = StatisticsPanel::background.a;
        return (src * alpha + dst * (255 - alpha)) / 255;
    };
    const SDL_Color bg = StatisticsPanel::background;
    EXPECT_TRUE(near(hidden, backdrop, 0)) << hidden;
    EXPECT_TRUE(near(screen.at(inside, inside),
                     Rgb{blend(bg.r, backdrop.r), blend(bg.g, backdrop.g), blend(bg.b, backdrop.b)},
                     2))
        << screen.at(inside, inside);
}

}  // namespace
