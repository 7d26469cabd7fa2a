#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "TestScreen.hpp"
#include "base/Letterbox.hpp"
#include "support/TestStreams.hpp"
#include "video/StreamOverlay.hpp"
#include "video/VideoPresenter.hpp"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace {

using namespace testscreen;

// The picture's rectangle shows `colour`, the bars are black; blended edges and the button aside.
void expectLetterbox(const Screen& s, const letterbox::Rect& r, const Rgb& colour) {
    const letterbox::Rect b = letterbox::menuButtonRect(s.width());
    const auto inside = [](const letterbox::Rect& q, int x, int y, int inset) {
        return x >= q.x + inset && x < q.x + q.w - inset && y >= q.y + inset &&
               y < q.y + q.h - inset;
    };
    for (int y = 0; y < s.height(); y += 3) {
        for (int x = 0; x < s.width(); x += 3) {
            if (inside(b, x, y, 0) || (inside(r, x, y, -1) && !inside(r, x, y, 1))) {
                continue;
            }
            const Rgb expected = inside(r, x, y, 1) ? colour : black;
            ASSERT_TRUE(near(s.at(x, y), expected, 6))
                << "at " << x << "," << y << " " << s.at(x, y);
        }
    }
}

// A presenter on a screen of its own, with the client's overlay over its pictures.
struct Shown {
    Shown(int w, int h, VideoPresenterOptions options = {})
        : screen(std::make_unique<Screen>(w, h)),
          presenter(std::make_unique<VideoPresenter>(screen->get(), 320, 176, overlay, options)) {}
    RemoteCursor cursor;
    StreamOverlay overlay{cursor};
    std::unique_ptr<Screen> screen;
    std::unique_ptr<VideoPresenter> presenter;
};

const teststreams::Painter violetPainter = teststreams::solid(160, 90, 200);

// Each picture, whatever its size and format, fills its letterbox under the menu button.
TEST(VideoPresenter, eachPictureFillsItsLetterboxAcrossSizeAndFormatChanges) {
    const auto gradient = teststreams::picture(320, 176, teststreams::gradient());
    const auto square = teststreams::picture(240, 240, violetPainter);
    const auto wide =
        teststreams::convert(*teststreams::picture(320, 176, violetPainter), AV_PIX_FMT_NV12);
    Shown shown(480, 330);
    const Screen& screen = *shown.screen;
    ASSERT_TRUE(shown.presenter->present(*gradient));
    const std::pair<const AVFrame*, letterbox::Rect> steps[] = {{square.get(), {75, 0, 330, 330}},
                                                                {wide.get(), {0, 33, 480, 264}}};
    for (const auto& [picture, rect] : steps) {
        SCOPED_TRACE(testing::Message() << picture->width << "x" << picture->height);
        ASSERT_TRUE(shown.presenter->present(*picture));
        const Rgb colour = screen.at(rect.x + rect.w / 2, rect.y + rect.h - 2);
        EXPECT_GT(colour.r + colour.g + colour.b, 150) << colour;
        expectLetterbox(screen, rect, colour);
        const letterbox::Rect b = letterbox::menuButtonRect(screen.width());
        EXPECT_GT(screen.at(b.x + 20, b.y + 12).r, 180) << screen.at(b.x + 20, b.y + 12);
    }
    EXPECT_EQ(shown.presenter->texturesCreated(), 3u) << "one texture per size and format";
    EXPECT_EQ(shown.presenter->framesPresented(), 3u);
}

TEST(VideoPresenter, nv12AndOtherFormatsShowTheSamePictureAsPlanar420) {
    const auto planar = teststreams::picture(320, 176, teststreams::gradient());
    const auto nv12 = teststreams::convert(*planar, AV_PIX_FMT_NV12);
    const auto packed = teststreams::convert(*planar, AV_PIX_FMT_YUYV422);

    auto show = [](const AVFrame& picture, bool nv12Upload) {
        Shown shown(480, 330, VideoPresenterOptions{nv12Upload});
        EXPECT_TRUE(shown.presenter->present(picture));
        return std::move(shown.screen);
    };
    const auto reference = show(*planar, true);
    const auto uploaded = show(*nv12, true);
    const auto converted = show(*nv12, false);
    const auto packedConverted = show(*packed, true);
    // The gradient is smooth, so chroma resampling moves a colour by a few steps at most.
    EXPECT_LE(uploaded->maxDifference(*reference), 4);
    EXPECT_LE(converted->maxDifference(*reference), 4);
    EXPECT_LE(packedConverted->maxDifference(*reference), 6);
    // A picture that differs must be seen as different, or the comparison proves nothing.
    const auto moved = teststreams::picture(320, 176, teststreams::gradient(), 20);
    EXPECT_GT(show(*moved, true)->maxDifference(*reference), 20);
}

// A minimised window (0 x 0) must keep consuming the stream; a picture without area is refused.
TEST(VideoPresenter, windowWithoutAreaStillPresentsButAPictureWithoutAreaDoesNot) {
    const auto picture = teststreams::picture(320, 176, teststreams::gradient());
    Shown minimised(0, 0);
    EXPECT_TRUE(minimised.presenter->present(*picture));
    EXPECT_EQ(minimised.presenter->framesPresented(), 1u);

    Shown shown(320, 176);
    picture->width = 0;
    EXPECT_FALSE(shown.presenter->present(*picture));
    EXPECT_EQ(shown.presenter->framesPresented(), 0u);
    EXPECT_EQ(shown.presenter->width(), 320);
}

}  // namespace
