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

bool near(const Rgb& a, const Rgb& b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

const Rgb black{0, 0, 0};
const Rgb white{255, 255, 255};

// What a window would show, drawn by a software renderer into a surface and readable after
// the present without a display.
class Screen {
  public:
    Screen(int w, int h)
        : surface(SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888),
                  SDL_FreeSurface),
          renderer(surface ? SDL_CreateSoftwareRenderer(surface.get()) : nullptr,
                   SDL_DestroyRenderer) {
        if (!renderer) {
            throw std::runtime_error(SDL_GetError());
        }
    }
    SDL_Renderer* get() const { return renderer.get(); }
    int width() const { return surface->w; }
    int height() const { return surface->h; }

    Rgb at(int x, int y) const {
        const auto* row = static_cast<const std::uint8_t*>(surface->pixels) + y * surface->pitch;
        const std::uint32_t p = reinterpret_cast<const std::uint32_t*>(row)[x];
        return Rgb{static_cast<int>((p >> 16) & 0xff), static_cast<int>((p >> 8) & 0xff),
                   static_cast<int>(p & 0xff)};
    }

    // Largest channel difference between two screens of the same size.
    int maxDifference(const Screen& other) const {
        int worst = 0;
        for (int y = 0; y < height(); ++y) {
            for (int x = 0; x < width(); ++x) {
                const Rgb a = at(x, y), b = other.at(x, y);
                worst = std::max(
                    {worst, std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
            }
        }
        return worst;
    }

  private:
    std::unique_ptr<SDL_Surface, decltype(&SDL_FreeSurface)> surface;
    std::unique_ptr<SDL_Renderer, decltype(&SDL_DestroyRenderer)> renderer;
};

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

    // A picture without area is refused; a minimised window (0 x 0) keeps taking the stream.
    gradient->width = 0;
    EXPECT_FALSE(shown.presenter->present(*gradient));
    EXPECT_EQ(shown.presenter->framesPresented(), 3u);
    EXPECT_EQ(shown.presenter->width(), 320);
    Shown minimised(0, 0);
    EXPECT_TRUE(minimised.presenter->present(*square));
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

// The overlay's cursor tip sits at the picture's corner, not the window's.
TEST(VideoPresenter, remoteCursorIsDrawnOverThePictureOnlyWhenVisible) {
    const auto violet = teststreams::picture(320, 176, violetPainter);
    Shown shown(640, 176);  // pillarboxed: picture at x 160..479
    const Screen& screen = *shown.screen;
    const int x = 160;
    ASSERT_TRUE(shown.presenter->present(*violet));
    const Rgb picture = screen.at(320, 88);
    EXPECT_TRUE(near(screen.at(x + 1, 8), picture, 2)) << "hidden cursor drawn";

    shown.cursor.cursorVisible = true;
    shown.cursor.cursorX = 0;
    shown.cursor.cursorY = 0;
    ASSERT_TRUE(shown.presenter->present(*violet));
    EXPECT_TRUE(near(screen.at(x, 8), white, 0)) << screen.at(x, 8);
    EXPECT_TRUE(near(screen.at(x + 8, 8), white, 0));     // diagonal stroke
    EXPECT_TRUE(near(screen.at(x + 1, 12), black, 0));    // shadow right of the stem
    EXPECT_TRUE(near(screen.at(x + 2, 14), picture, 2));  // untouched in between
}

}  // namespace
