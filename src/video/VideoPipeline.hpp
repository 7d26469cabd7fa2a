#pragma once

#include <SDL.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/HardwareDecoder.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

class StreamOverlay;

struct VideoPipelineOptions {
    // Hardware devices to try, best first; empty decodes in software.
    std::vector<HardwareDecoder> hardwareDecoders = ::hardwareDecoders();
    // Slice threads for software decoding; 0 means one per core. Slice threads split each
    // frame, so unlike frame threads they add no frame of delay. One thread by default: on
    // the shared two-core machines measured so far, more showed no gain in time to present
    // (scripts/bench compares both).
    int softwareThreads = 1;
    // Upload NV12 pictures (what hardware decoders hand back) to an NV12 texture as they
    // are, instead of converting them to planar 4:2:0 on the CPU first.
    bool nv12Upload = true;
};

// Decodes the encoded frames of the stream and presents each picture in the window,
// letterboxed, with the overlay drawn over it. Main thread only.
class VideoPipeline {
  public:
    VideoPipeline(SDL_Renderer* renderer, std::int32_t width, std::int32_t height, bool isHevc,
                  const StreamOverlay& overlay, VideoPipelineOptions options = {});
    ~VideoPipeline();
    VideoPipeline(const VideoPipeline&) = delete;
    VideoPipeline& operator=(const VideoPipeline&) = delete;

    // Submits one encoded access unit and presents every picture the decoder returns for it.
    // True when at least one picture was presented. The 90 kHz timestamp, when known, travels
    // with the picture through the decoder so the presenting order can be checked.
    bool decodeAndPresent(const std::byte* data, std::size_t size,
                          std::optional<std::uint32_t> timestamp = std::nullopt);

    // The present step for one decoded picture (hardware surface or in memory).
    bool presentPicture(const AVFrame* decoded);

    // "d3d11va", "vaapi", "cuda" while a hardware decoder is in use, otherwise "software".
    const char* decoderName() const;

    // The format the decoder should output: the hardware surface format when offered,
    // otherwise the first format in memory. AV_PIX_FMT_NONE when there is none.
    static AVPixelFormat choosePixelFormat(AVPixelFormat surfaceFormat,
                                           const AVPixelFormat* offered);

    std::int32_t width;
    std::int32_t height;
    std::uint64_t framesPresented = 0;
    // Frames the decoder refused or failed on; each leaves the picture broken until the next
    // key frame, so the main loop asks the sender for one.
    std::uint64_t decodeFailures = 0;
    bool hardwareDecoding = false;
    bool isHevc;
    // Textures created so far, the one made at construction included.
    std::uint64_t texturesCreated = 0;
    // Presented pictures whose timestamp lies before the previous one's: pictures shown in
    // the wrong order, whether the queue, the engine or the decoder reordered them.
    std::uint64_t framesOutOfOrder = 0;

  private:
    struct CodecContextDeleter {
        void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
    };
    struct FrameDeleter {
        void operator()(AVFrame* p) const { av_frame_free(&p); }
    };
    struct PacketDeleter {
        void operator()(AVPacket* p) const { av_packet_free(&p); }
    };
    struct BufferDeleter {
        void operator()(AVBufferRef* p) const { av_buffer_unref(&p); }
    };
    struct ScalerDeleter {
        void operator()(SwsContext* p) const { sws_freeContext(p); }
    };
    struct TextureDeleter {
        void operator()(SDL_Texture* p) const { SDL_DestroyTexture(p); }
    };

    static AVPixelFormat selectFormat(AVCodecContext* context, const AVPixelFormat* offered);
    bool openHardwareDevice(const AVCodec* decoder, const std::vector<HardwareDecoder>& choices);
    bool recreateTexture(std::int32_t newWidth, std::int32_t newHeight, Uint32 format);
    const AVFrame* toUploadable(const AVFrame* source, Uint32& textureFormat);
    void decodeFailed();
    void checkPresentingOrder(std::int64_t pts);

    SDL_Renderer* renderer;
    const StreamOverlay& overlay;
    VideoPipelineOptions options;
    const HardwareDecoder* hardware = nullptr;  // the device in use, an entry of options
    Uint32 textureFormat = SDL_PIXELFORMAT_IYUV;
    std::optional<std::uint32_t> lastPresentedTimestamp;

    // Declared in reverse order of release: the texture goes first, the device last.
    std::unique_ptr<AVBufferRef, BufferDeleter> hwDeviceContext;
    std::unique_ptr<AVCodecContext, CodecContextDeleter> codecContext;
    std::unique_ptr<AVPacket, PacketDeleter> packet;
    std::unique_ptr<AVFrame, FrameDeleter> frame;
    std::unique_ptr<AVFrame, FrameDeleter> transferFrame;
    std::unique_ptr<AVFrame, FrameDeleter> convertedFrame;
    std::unique_ptr<SwsContext, ScalerDeleter> scaler;
    std::unique_ptr<SDL_Texture, TextureDeleter> texture;
};
