#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <random>
#include <vector>

#include "support/TestStreams.hpp"
#include "video/VideoDecoder.hpp"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

std::size_t feed(VideoDecoder& decoder, const rtc::binary& unit,
                 std::vector<DecodedPicture>& pictures,
                 std::optional<std::uint32_t> timestamp = std::nullopt) {
    return decoder.decode(unit.data(), unit.size(), timestamp,
                          [&](DecodedPicture picture) { pictures.push_back(std::move(picture)); });
}

class VideoDecoderCodec : public testing::TestWithParam<bool> {};

// All pictures are held to the end, so reused buffers would show in the earlier ones. Slice
// threads give each picture at once; frame threads would hold it back a frame per thread.
// Empty and garbage units give nothing, and the next frame decodes as if they never came.
TEST_P(VideoDecoderCodec, eachPictureComesAtOnceAndKeepsItsContentSizeAndTimestamp) {
    const bool hevc = GetParam();
    auto stream = teststreams::encode(hevc, 320, 176, 3, teststreams::solid(160, 90, 200), 4);
    const auto second = teststreams::encode(hevc, 240, 240, 3, teststreams::solid(60, 200, 100), 4);
    stream.insert(stream.end(), second.begin(), second.end());
    const std::optional<std::uint32_t> timestamps[] = {0xFFFFF000u, std::nullopt, 0x00000200u,
                                                       0x00001000u, 0x00002000u,  0x00003000u};
    ASSERT_EQ(std::size(timestamps), stream.size());
    std::mt19937 random(7);
    rtc::binary garbage(4096);
    std::generate(garbage.begin(), garbage.end(), [&] { return std::byte(random()); });

    VideoDecoder decoder(hevc, {.hardwareDecoders = {}, .softwareThreads = 4});  // in memory
    std::vector<DecodedPicture> pictures;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        ASSERT_EQ(feed(decoder, stream[i], pictures, timestamps[i]), 1u) << "frame " << i;
        if (i == 1) {
            EXPECT_EQ(feed(decoder, {}, pictures), 0u);
            EXPECT_EQ(decoder.decodeFailures(), 0u);
            EXPECT_EQ(feed(decoder, garbage, pictures), 0u);
            EXPECT_GE(decoder.decodeFailures(), 1u);
        }
    }
    ASSERT_EQ(pictures.size(), stream.size());
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "picture " << i);
        const AVFrame& p = *pictures[i];
        const bool first = i < 3;
        EXPECT_EQ(p.width, first ? 320 : 240);
        EXPECT_EQ(p.height, first ? 176 : 240);
        EXPECT_EQ(p.pts,
                  timestamps[i] ? static_cast<std::int64_t>(*timestamps[i]) : AV_NOPTS_VALUE);
        const int luma = p.data[0][(p.height / 2) * p.linesize[0] + p.width / 2];
        EXPECT_NEAR(luma, first ? 160 : 60, 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoDecoderCodec, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Hevc" : "H264"; });

// Streams beyond the viewport (and its rounding margin) or the largest texture are refused.
TEST(VideoDecoder, picturesBeyondTheViewportOrTheLargestTextureAreRefusedUnseen) {
    struct Case {
        bool hevc;
        PictureSize stream;
        PictureSize viewport;
        int texture;  // each side; 0: the renderer does not say
        const char* refusal;
    };
    // clang-format off
    const Case cases[] = {
        {false, {320, 176}, {320, 176}, 0, nullptr},
        {false, {480, 256}, {320, 176}, 4096, nullptr},  // rounded up by the server
        {false, {496, 176}, {320, 176}, 4096,
         "picture 496x176 refused: larger than the viewport allows (480x264)"},
        {true, {320, 288}, {320, 176}, 4096,
         "picture 320x288 refused: larger than the viewport allows (480x264)"},
        {false, {320, 176}, {1920, 1080}, 256,
         "picture 320x176 refused: larger than the renderer's largest texture (256x256)"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.stream.width << "x" << c.stream.height);
        VideoDecoder decoder(c.hevc, {.hardwareDecoders = {},
                                      .limits = PictureLimits(c.viewport, c.texture, c.texture)});
        std::vector<DecodedPicture> pictures;
        for (const auto& unit : teststreams::encode(c.hevc, c.stream.width, c.stream.height, 2,
                                                    teststreams::gradient())) {
            feed(decoder, unit, pictures);
        }
        EXPECT_EQ(decoder.refusal().value_or(""), c.refusal ? c.refusal : "");
        EXPECT_EQ(pictures.size(), c.refusal ? 0u : 2u);
        EXPECT_EQ(decoder.decodeFailures(), 0u);
    }
}

TEST(VideoDecoder, formatSelectorPrefersTheDeviceFormatThenMemory) {
    struct Case {
        AVPixelFormat device;
        std::vector<AVPixelFormat> offered;
        AVPixelFormat expected;
    };
    // clang-format off
    const Case cases[] = {
        {AV_PIX_FMT_VAAPI, {AV_PIX_FMT_VAAPI, AV_PIX_FMT_YUV420P}, AV_PIX_FMT_VAAPI},
        {AV_PIX_FMT_D3D11, {AV_PIX_FMT_DXVA2_VLD, AV_PIX_FMT_D3D11, AV_PIX_FMT_YUV420P},
         AV_PIX_FMT_D3D11},
        // The device's format is missing: the first format in memory, never another API's.
        {AV_PIX_FMT_CUDA, {AV_PIX_FMT_VAAPI, AV_PIX_FMT_VDPAU, AV_PIX_FMT_YUV420P10},
         AV_PIX_FMT_YUV420P10},
        {AV_PIX_FMT_CUDA, {AV_PIX_FMT_VAAPI}, AV_PIX_FMT_NONE},
        {AV_PIX_FMT_NONE, {AV_PIX_FMT_YUV420P}, AV_PIX_FMT_YUV420P},
    };
    // clang-format on
    for (const Case& c : cases) {
        std::vector<AVPixelFormat> offered = c.offered;
        offered.push_back(AV_PIX_FMT_NONE);
        EXPECT_EQ(VideoDecoder::choosePixelFormat(c.device, offered.data()), c.expected)
            << av_get_pix_fmt_name(c.device);
    }
}

}  // namespace
