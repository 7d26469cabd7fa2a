#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <random>

#include "TestScreen.hpp"
#include "TestStreams.hpp"
#include "base/Letterbox.hpp"
#include "video/StreamOverlay.hpp"
#include "video/VideoPipeline.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

namespace {

using namespace testscreen;

// Nothing but the menu button over the pictures; the overlay has tests of its own.
const RemoteCursor hiddenCursor;
const StreamOverlay overlay(hiddenCursor);

bool feed(VideoPipeline& pipeline, const rtc::binary& unit) {
    return pipeline.decodeAndPresent(unit.data(), unit.size());
}

bool inMenuButton(const Screen& s, int x, int y) {
    const letterbox::Rect b = letterbox::menuButtonRect(s.width());
    return x >= b.x && x < b.x + b.w && y >= b.y && y < b.y + b.h;
}

// Every pixel of the rectangle's border ring (inset by `inset`) is close to colour, except
// under the menu button.
void expectRectFilled(const Screen& s, const letterbox::Rect& r, const Rgb& colour, int inset) {
    auto check = [&](int x, int y) {
        if (!inMenuButton(s, x, y)) {
            ASSERT_TRUE(near(s.at(x, y), colour, 6)) << "at " << x << "," << y << " " << s.at(x, y);
        }
    };
    for (int x = r.x + inset; x < r.x + r.w - inset; x += 3) {
        check(x, r.y + inset);
        check(x, r.y + r.h - 1 - inset);
    }
    for (int y = r.y + inset; y < r.y + r.h - inset; y += 3) {
        check(r.x + inset, y);
        check(r.x + r.w - 1 - inset, y);
    }
}

void expectBarsBlack(const Screen& s, const letterbox::Rect& r) {
    for (int y = 0; y < s.height(); y += 2) {
        for (int x = 0; x < s.width(); x += 2) {
            const bool inPicture = x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
            if (!inPicture && !inMenuButton(s, x, y)) {
                ASSERT_TRUE(near(s.at(x, y), black, 0)) << "bar at " << x << "," << y;
            }
        }
    }
}

// Options that keep the platform's hardware list: on machines without a GPU this is the
// software fallback under test.
VideoPipelineOptions defaults() {
    return VideoPipelineOptions{};
}

class VideoPipelineCodec : public testing::TestWithParam<bool> {};

TEST_P(VideoPipelineCodec, pictureFillsItsLetterboxAndBarsStayBlack) {
    const bool hevc = GetParam();
    const auto stream = teststreams::encode(hevc, 320, 176, 3, teststreams::solid(160, 90, 200));
    struct Case {
        int w, h;
    };
    // Letterboxed, pillarboxed, and a window narrower than the menu button's margin.
    for (const Case c : {Case{480, 330}, Case{640, 176}, Case{60, 40}}) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        Screen screen(c.w, c.h);
        VideoPipeline pipeline(screen.get(), 1280, 720, hevc, overlay, defaults());
        for (const auto& unit : stream) {
            ASSERT_TRUE(feed(pipeline, unit));
        }
        EXPECT_EQ(pipeline.framesPresented, stream.size());
        EXPECT_EQ(pipeline.width, 320);
        EXPECT_EQ(pipeline.height, 176);
        const letterbox::Rect r = letterbox::pictureRect(c.w, c.h, 320, 176);
        const Rgb colour = screen.at(r.x + r.w / 2, r.y + r.h - 2);
        EXPECT_GT(colour.r + colour.g + colour.b, 150) << colour;
        // Inset 1: the renderer may blend the outermost row with its neighbour.
        if (c.w > 100) {
            expectRectFilled(screen, r, colour, 1);
        }
        expectBarsBlack(screen, r);
        // The three bars of the menu symbol are drawn in near-white over the button.
        const letterbox::Rect b = letterbox::menuButtonRect(c.w);
        if (b.x + 30 < c.w && b.y + 28 < c.h) {
            for (int i : {0, 8, 16}) {
                const Rgb bar = screen.at(b.x + 20, b.y + 12 + i);
                EXPECT_GT(bar.r, 180) << "menu bar " << i << " " << bar;
            }
        }
    }
}

TEST_P(VideoPipelineCodec, streamThatChangesSizeRecreatesTheTextureOnceAndKeepsPresenting) {
    const bool hevc = GetParam();
    auto stream = teststreams::encode(hevc, 320, 176, 3, teststreams::solid(160, 90, 200));
    const auto second = teststreams::encode(hevc, 240, 240, 4, teststreams::solid(100, 200, 60));
    stream.insert(stream.end(), second.begin(), second.end());
    Screen screen(640, 480);
    VideoPipeline pipeline(screen.get(), 320, 176, hevc, overlay, defaults());
    ASSERT_EQ(pipeline.texturesCreated, 1u);
    for (const auto& unit : stream) {
        ASSERT_TRUE(feed(pipeline, unit));
    }
    EXPECT_EQ(pipeline.texturesCreated, 2u);
    EXPECT_EQ(pipeline.framesPresented, stream.size());
    EXPECT_EQ(pipeline.width, 240);
    EXPECT_EQ(pipeline.height, 240);
    const letterbox::Rect r = letterbox::pictureRect(640, 480, 240, 240);
    ASSERT_EQ(r, (letterbox::Rect{80, 0, 480, 480}));
    expectRectFilled(screen, r, screen.at(320, 240), 1);
    expectBarsBlack(screen, r);
}

TEST_P(VideoPipelineCodec, emptyAndGarbageFramesAreRefusedAndTheNextGoodFramePresents) {
    const bool hevc = GetParam();
    const auto stream = teststreams::encode(hevc, 320, 176, 4, teststreams::gradient());
    Screen screen(320, 176);
    VideoPipeline pipeline(screen.get(), 320, 176, hevc, overlay, defaults());

    EXPECT_FALSE(pipeline.decodeAndPresent(nullptr, 0));
    ASSERT_TRUE(feed(pipeline, stream[0]));
    EXPECT_FALSE(pipeline.decodeAndPresent(nullptr, 0));

    std::mt19937 random(7);
    rtc::binary garbage(4096);
    for (auto& b : garbage) {
        b = static_cast<std::byte>(random());
    }
    EXPECT_FALSE(feed(pipeline, garbage));
    // A start code followed by a forbidden NAL header is refused outright.
    rtc::binary invalid{std::byte{0},    std::byte{0},    std::byte{0},    std::byte{1},
                        std::byte{0xff}, std::byte{0xff}, std::byte{0xff}, std::byte{0xff}};
    EXPECT_FALSE(feed(pipeline, invalid));
    EXPECT_GE(pipeline.decodeFailures, 1);

    for (std::size_t i = 1; i < stream.size(); ++i) {
        EXPECT_TRUE(feed(pipeline, stream[i])) << "frame " << i;
    }
    EXPECT_EQ(pipeline.framesPresented, stream.size());
}

// The order check sees the timestamp that went into the decoder with each picture; RTP time
// wraps at 2^32, so a step past the wrap is forward, and an equal timestamp is no step back.
TEST_P(VideoPipelineCodec, picturesWithAnEarlierTimestampCountAsOutOfOrder) {
    const bool hevc = GetParam();
    const auto stream = teststreams::encode(hevc, 320, 176, 8, teststreams::gradient());
    Screen screen(320, 176);
    VideoPipeline pipeline(screen.get(), 320, 176, hevc, overlay, defaults());
    const std::optional<std::uint32_t> timestamps[] = {
        0xFFFFF000u,  0x00000200u,  // past the wrap: forward
        0x00000200u,                // same time again
        0x00000100u,                // back: out of order
        std::nullopt,               // unknown: neither compared nor remembered
        0x00001000u,  0x00000FFFu,  // back by one tick
        0x00002000u,
    };
    ASSERT_EQ(std::size(timestamps), stream.size());
    for (std::size_t i = 0; i < stream.size(); ++i) {
        ASSERT_TRUE(pipeline.decodeAndPresent(stream[i].data(), stream[i].size(), timestamps[i]))
            << "frame " << i;
    }
    EXPECT_EQ(pipeline.framesPresented, stream.size());
    EXPECT_EQ(pipeline.framesOutOfOrder, 2u);
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoPipelineCodec, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Hevc" : "H264"; });

TEST(VideoPipeline, nv12AndOtherFormatsShowTheSamePictureAsPlanar420) {
    const auto planar = teststreams::picture(320, 176, teststreams::gradient());
    const auto nv12 = teststreams::convert(*planar, AV_PIX_FMT_NV12);
    const auto packed = teststreams::convert(*planar, AV_PIX_FMT_YUYV422);

    auto show = [](const AVFrame& picture, bool nv12Upload) {
        auto screen = std::make_unique<Screen>(480, 330);
        VideoPipelineOptions options;
        options.hardwareDecoders.clear();
        options.nv12Upload = nv12Upload;
        VideoPipeline pipeline(screen->get(), 320, 176, false, overlay, options);
        EXPECT_TRUE(pipeline.presentPicture(&picture));
        return screen;
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

TEST(VideoPipeline, switchingBetweenNv12AndPlanarRecreatesTheTexture) {
    const auto planar = teststreams::picture(320, 176, teststreams::gradient());
    const auto nv12 = teststreams::convert(*planar, AV_PIX_FMT_NV12);
    Screen screen(320, 176);
    VideoPipelineOptions options;
    options.hardwareDecoders.clear();
    VideoPipeline pipeline(screen.get(), 320, 176, false, overlay, options);
    ASSERT_TRUE(pipeline.presentPicture(planar.get()));
    ASSERT_TRUE(pipeline.presentPicture(planar.get()));
    EXPECT_EQ(pipeline.texturesCreated, 1u);
    ASSERT_TRUE(pipeline.presentPicture(nv12.get()));
    ASSERT_TRUE(pipeline.presentPicture(nv12.get()));
    EXPECT_EQ(pipeline.texturesCreated, 2u);
    ASSERT_TRUE(pipeline.presentPicture(planar.get()));
    EXPECT_EQ(pipeline.texturesCreated, 3u);
    EXPECT_EQ(pipeline.framesPresented, 5u);
}

TEST(VideoPipeline, pictureWithoutAreaIsNotPresented) {
    Screen screen(320, 176);
    VideoPipeline pipeline(screen.get(), 320, 176, false, overlay, defaults());
    auto empty = teststreams::picture(320, 176, teststreams::gradient());
    empty->width = 0;
    EXPECT_FALSE(pipeline.presentPicture(empty.get()));
    EXPECT_EQ(pipeline.framesPresented, 0u);
    EXPECT_EQ(pipeline.width, 320);
}

TEST(VideoPipeline, sliceThreadsShowTheSamePicturesAsOneThread) {
    const auto stream = teststreams::encode(false, 640, 368, 5, teststreams::gradient(), 4);
    auto run = [&](int threads) {
        auto screen = std::make_unique<Screen>(640, 368);
        VideoPipelineOptions options;
        options.hardwareDecoders.clear();
        options.softwareThreads = threads;
        VideoPipeline pipeline(screen->get(), 640, 368, false, overlay, options);
        for (const auto& unit : stream) {
            EXPECT_TRUE(feed(pipeline, unit));
        }
        EXPECT_EQ(pipeline.framesPresented, stream.size());
        return screen;
    };
    EXPECT_EQ(run(1)->maxDifference(*run(4)), 0);
}

TEST(VideoPipeline, withoutAUsableDeviceDecodingFallsBackToSoftware) {
    const auto stream = teststreams::encode(false, 320, 176, 2, teststreams::gradient());
    Screen screen(320, 176);
    VideoPipelineOptions options;
    // A device the decoder cannot use through a device context is skipped outright; the
    // platform's own devices are absent on machines without a GPU.
    options.hardwareDecoders.insert(options.hardwareDecoders.begin(),
                                    {AV_HWDEVICE_TYPE_DRM, AV_PIX_FMT_DRM_PRIME, "drm"});
    VideoPipeline pipeline(screen.get(), 320, 176, false, overlay, options);
    if (pipeline.hardwareDecoding) {
        GTEST_SKIP() << "a hardware decoder is present: " << pipeline.decoderName();
    }
    EXPECT_STREQ(pipeline.decoderName(), "software");
    for (const auto& unit : stream) {
        EXPECT_TRUE(feed(pipeline, unit));
    }
    EXPECT_FALSE(pipeline.hardwareDecoding);
}

TEST(VideoPipeline, formatSelectorPrefersTheDeviceFormatThenMemory) {
    struct Case {
        AVPixelFormat device;
        std::vector<AVPixelFormat> offered;
        AVPixelFormat expected;
    };
    const Case cases[] = {
        {AV_PIX_FMT_VAAPI, {AV_PIX_FMT_VAAPI, AV_PIX_FMT_YUV420P}, AV_PIX_FMT_VAAPI},
        {AV_PIX_FMT_D3D11,
         {AV_PIX_FMT_DXVA2_VLD, AV_PIX_FMT_D3D11, AV_PIX_FMT_YUV420P},
         AV_PIX_FMT_D3D11},
        // The device's format is missing: the first format in memory, never another API's.
        {AV_PIX_FMT_CUDA,
         {AV_PIX_FMT_VAAPI, AV_PIX_FMT_VDPAU, AV_PIX_FMT_YUV420P10},
         AV_PIX_FMT_YUV420P10},
        {AV_PIX_FMT_CUDA, {AV_PIX_FMT_VAAPI}, AV_PIX_FMT_NONE},
        {AV_PIX_FMT_NONE, {AV_PIX_FMT_YUV420P}, AV_PIX_FMT_YUV420P},
    };
    for (const Case& c : cases) {
        std::vector<AVPixelFormat> offered = c.offered;
        offered.push_back(AV_PIX_FMT_NONE);
        EXPECT_EQ(VideoPipeline::choosePixelFormat(c.device, offered.data()), c.expected)
            << av_get_pix_fmt_name(c.device);
    }
}

TEST(VideoPipeline, constructionWithoutARendererFailsWithAClearMessage) {
    try {
        VideoPipeline pipeline(nullptr, 1280, 720, true, overlay, defaults());
        FAIL() << "constructed without a renderer";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Cannot create the video texture"), std::string::npos)
            << e.what();
    }
}

}  // namespace

namespace {

TEST(VideoPipeline, windowWithoutAreaStillCompletesThePresent) {
    // A minimised window reports a 0 x 0 output; the stream must keep being consumed.
    Screen screen(0, 0);
    const auto stream = teststreams::encode(false, 320, 176, 2, teststreams::gradient());
    VideoPipeline pipeline(screen.get(), 320, 176, false, overlay, defaults());
    for (const auto& unit : stream) {
        EXPECT_TRUE(feed(pipeline, unit));
    }
    EXPECT_EQ(pipeline.framesPresented, stream.size());
}

}  // namespace
