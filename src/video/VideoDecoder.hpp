#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/HardwareDecoder.hpp"
#include "video/PictureLimits.hpp"
#include "video/PictureSizeProbe.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

struct VideoDecoderOptions {
    // Hardware devices to try, best first; empty decodes in software.
    std::vector<HardwareDecoder> hardwareDecoders = ::hardwareDecoders();
    // Slice threads for software decoding; 0 means one per core. Slice threads split each
    // frame, so unlike frame threads they add no frame of delay. One thread by default: on
    // the shared two-core machines measured so far, more showed no gain in time to present
    // (scripts/bench compares both).
    int softwareThreads = 1;
    // Pictures beyond these are refused before the decoder sees them; none takes any size.
    std::optional<PictureLimits> limits;
};

struct AvFrameFree {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
// One picture out of the decoder, owned by whoever holds it: in memory, or a hardware surface
// that stays taken from the decoder's pool until the picture is released.
using DecodedPicture = std::unique_ptr<AVFrame, AvFrameFree>;

// Turns the encoded access units of the stream into pictures, with a hardware device when one
// opens, otherwise in software. Decodes on one thread (the decode thread); the flags and the
// failure count may be read from any.
class VideoDecoder {
  public:
    using PictureSink = std::function<void(DecodedPicture picture)>;

    explicit VideoDecoder(bool isHevc, VideoDecoderOptions options = {});
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Submits one access unit and hands every picture the decoder returns for it to `sink`, in
    // order. Returns how many it handed over. The 90 kHz timestamp, when known, comes back as
    // the picture's pts, so the presenting order can be checked.
    std::size_t decode(const std::byte* data, std::size_t size,
                       std::optional<std::uint32_t> timestamp, const PictureSink& sink);

    // "d3d11va", "vaapi", "cuda" while a hardware decoder is in use, otherwise "software".
    const char* decoderName() const;
    // True while a hardware device decodes; false for good once the decoder does not offer
    // the device's surfaces.
    bool hardwareDecoding() const { return hardwareInUse.load(); }
    // Frames the decoder refused or failed on; each leaves the picture broken until the next
    // key frame.
    std::uint64_t decodeFailures() const { return failures.load(); }
    // Why the last access unit was refused unseen (its pictures are too large), naming the
    // size; none when it was decoded. Decode thread only.
    const std::optional<std::string>& refusal() const { return refused; }

    // Decoded hardware surfaces that may be held outside the decoder at once: one waiting in
    // the newest-picture slot and one being presented. The pool is enlarged by as many, so
    // holding them never starves the decoder of surfaces.
    static constexpr int heldSurfaces = 2;

    // The format the decoder should output: the hardware surface format when offered,
    // otherwise the first format in memory. AV_PIX_FMT_NONE when there is none.
    static AVPixelFormat choosePixelFormat(AVPixelFormat surfaceFormat,
                                           const AVPixelFormat* offered);

  private:
    struct CodecContextDeleter {
        void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
    };
    struct PacketDeleter {
        void operator()(AVPacket* p) const { av_packet_free(&p); }
    };
    struct BufferDeleter {
        void operator()(AVBufferRef* p) const { av_buffer_unref(&p); }
    };

    static AVPixelFormat selectFormat(AVCodecContext* context, const AVPixelFormat* offered);
    bool openHardwareDevice(const AVCodec* decoder, const std::vector<HardwareDecoder>& choices);

    VideoDecoderOptions options;
    const HardwareDecoder* hardware = nullptr;  // the device opened, an entry of options
    std::atomic<bool> hardwareInUse{false};
    std::atomic<std::uint64_t> failures{0};
    std::optional<PictureSizeProbe> sizeProbe;  // with limits only
    std::optional<std::string> refused;

    // Declared in reverse order of release: the device goes last.
    std::unique_ptr<AVBufferRef, BufferDeleter> hwDeviceContext;
    std::unique_ptr<AVCodecContext, CodecContextDeleter> codecContext;
    std::unique_ptr<AVPacket, PacketDeleter> packet;
    // Receives the next picture; handed over with it and allocated again for the one after.
    DecodedPicture nextPicture;
};
