#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "video/PictureLimits.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

// Reads the picture size of a stream from its parameter sets and slice headers with FFmpeg's
// parser, which keeps nothing of the picture's size in memory: the size is known before the
// decoder would allocate pictures of it.
class PictureSizeProbe {
  public:
    explicit PictureSizeProbe(bool isHevc);

    // The size of the pictures of this access unit (Annex B, padded as a packet is), by the
    // parameter sets seen so far; none while no slice has told it.
    std::optional<PictureSize> sizeOf(const std::uint8_t* data, int size);

  private:
    struct ParserDeleter {
        void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
    };
    struct ContextDeleter {
        void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
    };

    std::unique_ptr<AVCodecContext, ContextDeleter> context;
    std::unique_ptr<AVCodecParserContext, ParserDeleter> parser;
};
