#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <stdexcept>

#include "base/Letterbox.hpp"
#include "support/TestStreams.hpp"
#include "video/StreamOverlay.hpp"
#include "video/VideoPresenter.hpp"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace {

struct Rgb {
    int r, g, b;
};

std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "(" << c.r << "," << c.g << "," << c.b << ")";
}

// The largest difference between the channels of two colours.
int difference(const Rgb& a, const Rgb& b) {
    return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}

const Rgb black{0, 0, 0};
const Rgb white{255, 255, 255};

// A presenter, with the client's overlay over its pictures, drawing through a software
// renderer into a surface that can be read after the present without a display.
struct Shown {
    Shown(int w, int h, VideoPresenterOptions options = {})
        : surface(SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888),
                  SDL_FreeSurface),
          renderer(surface ? SDL_CreateSoftwareRenderer(surface.get()) : nullptr,
                   SDL_DestroyRenderer) {
        if (!renderer) {
            throw std::runtime_error(SDL_GetError());
        }
        presenter = std::make_unique<VideoPresenter>(renderer.get(), 320, 176, overlay, options);
    }

    Rgb at(int x, int y) const {
        const auto* row = static_cast<const std::uint8_t*>(surface->pixels) + y * surface->pitch;
        const std::uint32_t p = reinterpret_cast<const std::uint32_t*>(row)[x];
        return Rgb{static_cast<int>((p >> 16) & 0xff), static_cast<int>((p >> 8) & 0xff),
                   static_cast<int>(p & 0xff)};
    }

    int maxDifference(const Shown& other) const {
        int worst = 0;
        for (int y = 0; y < surface->h; ++y) {
            for (int x = 0; x < surface->w; ++x) {
                worst = std::max(worst, difference(at(x, y), other.at(x, y)));
            }
        }
        return worst;
    }

    RemoteCursor cursor;
    StreamOverlay overlay{cursor};
    std::unique_ptr<SDL_Surface, decltype(&SDL_FreeSurface)> surface;
    std::unique_ptr<SDL_Renderer, decltype(&SDL_DestroyRenderer)> renderer;
    std::unique_ptr<VideoPresenter> presenter;
};

// The picture's rectangle shows `colour`, the bars are black; blended edges and the button aside.
void expectLetterbox(const Shown& s, const letterbox::Rect& r, const Rgb& colour) {
    const letterbox::Rect b = letterbox::menuButtonRect(s.surface->w);
    const auto inside = [](const letterbox::Rect& q, int x, int y, int inset) {
        return x >= q.x + inset && x < q.x + q.w - inset && y >= q.y + inset &&
               y < q.y + q.h - inset;
    };
    for (int y = 0; y < s.surface->h; y += 3) {
        for (int x = 0; x < s.surface->w; x += 3) {
            if (inside(b, x, y, 0) || (inside(r, x, y, -1) && !inside(r, x, y, 1))) {
                continue;
            }
            const Rgb expected = inside(r, x, y, 1) ? colour : black;
            ASSERT_LE(difference(s.at(x, y), expected), 6)
                << "at " << x << "," << y << " " << s.at(x, y);
        }
    }
}

// Each picture, whatever its size and format, fills its letterbox under the client's overlay.
TEST(VideoPresenter, eachPictureFillsItsLetterboxUnderTheOverlayAcrossSizeAndFormatChanges) {
    const auto gradient = teststreams::picture(320, 176, teststreams::gradient());
    const auto violet = teststreams::solid(160, 90, 200);
    const auto square = teststreams::picture(240, 240, violet);
    const auto wide =
        teststreams::convert(*teststreams::picture(320, 176, violet), AV_PIX_FMT_NV12);
    Shown shown(480, 330);
    ASSERT_TRUE(shown.presenter->present(*gradient));
    const std::pair<const AVFrame*, letterbox::Rect> steps[] = {{square.get(), {75, 0, 330, 330}},
                                                                {wide.get(), {0, 33, 480, 264}}};
    for (const auto& [picture, rect] : steps) {
        SCOPED_TRACE(testing::Message() << picture->width << "x" << picture->height);
        ASSERT_TRUE(shown.presenter->present(*picture));
        const Rgb colour = shown.at(rect.x + rect.w / 2, rect.y + rect.h - 2);
        EXPECT_GT(colour.r + colour.g + colour.b, 150) << colour;
        expectLetterbox(shown, rect, colour);
        const letterbox::Rect b = letterbox::menuButtonRect(480);
        EXPECT_GT(shown.at(b.x + 20, b.y + 12).r, 180) << shown.at(b.x + 20, b.y + 12);
    }
    EXPECT_EQ(shown.presenter->texturesCreated(), 3u) << "one texture per size and format";
    EXPECT_EQ(shown.presenter->framesPresented(), 3u);

    // The cursor, hidden so far, has its tip at the picture's corner, not the window's.
    shown.cursor.cursorVisible = true;
    shown.cursor.cursorX = 0;
    shown.cursor.cursorY = 0;
    ASSERT_TRUE(shown.presenter->present(*wide));
    const Rgb picture = shown.at(240, 165);
    EXPECT_EQ(difference(shown.at(0, 41), white), 0) << shown.at(0, 41);
    EXPECT_EQ(difference(shown.at(8, 41), white), 0);    // diagonal stroke
    EXPECT_EQ(difference(shown.at(1, 45), black), 0);    // shadow right of the stem
    EXPECT_LE(difference(shown.at(2, 47), picture), 2);  // untouched in between

    // A picture without area is refused; a minimised window (0 x 0) keeps taking the stream.
    gradient->width = 0;
    EXPECT_FALSE(shown.presenter->present(*gradient));
    EXPECT_EQ(shown.presenter->framesPresented(), 4u);
    EXPECT_EQ(shown.presenter->width(), 320);
    Shown minimised(0, 0);
    EXPECT_TRUE(minimised.presenter->present(*square));
}

TEST(VideoPresenter, nv12AndOtherFormatsShowTheSamePictureAsPlanar420) {
    const auto planar = teststreams::picture(320, 176, teststreams::gradient());
    const auto nv12 = teststreams::convert(*planar, AV_PIX_FMT_NV12);
    const auto show = [](const AVFrame& picture, bool nv12Upload = true) {
        auto shown = std::make_unique<Shown>(480, 330, VideoPresenterOptions{nv12Upload});
        EXPECT_TRUE(shown->presenter->present(picture));
        return shown;
    };
    const auto reference = show(*planar);
    // The gradient is smooth, so chroma resampling moves a colour by a few steps at most.
    EXPECT_LE(show(*nv12)->maxDifference(*reference), 4);
    EXPECT_LE(show(*nv12, false)->maxDifference(*reference), 4);
    EXPECT_LE(show(*teststreams::convert(*planar, AV_PIX_FMT_YUYV422))->maxDifference(*reference),
              6);
    // A picture that differs must be seen as different, or the comparison proves nothing.
    const auto moved = teststreams::picture(320, 176, teststreams::gradient(), 20);
    EXPECT_GT(show(*moved)->maxDifference(*reference), 20);
}

}  // namespace
