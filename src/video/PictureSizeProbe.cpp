#include "video/PictureSizeProbe.hpp"

#include <stdexcept>

PictureSizeProbe::PictureSizeProbe(bool isHevc)
    : context(avcodec_alloc_context3(nullptr)),
      parser(av_parser_init(isHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264)) {
    if (!context || !parser) {
        throw std::runtime_error("Cannot create the video stream parser");
    }
    // Each packet is one whole access unit: no search for frame boundaries, no copy.
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
}

std::optional<PictureSize> PictureSizeProbe::sizeOf(const std::uint8_t* data, int size) {
    std::uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser.get(), context.get(), &out, &outSize, data, size, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (parser->width <= 0 || parser->height <= 0) {
        return std::nullopt;
    }
    return PictureSize{parser->width, parser->height};
}
