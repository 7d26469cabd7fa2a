#include "video/VideoDecoder.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

// Slice threads beyond this bring nothing for the few slices a stream has per frame.
constexpr int maxSliceThreads = 16;

int defaultSliceThreads() {
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    return std::clamp(cores, 1, maxSliceThreads);
}

}  // namespace

VideoDecoder::VideoDecoder(bool isHevc, VideoDecoderOptions options) : options(std::move(options)) {
    const std::string codecName = isHevc ? "HEVC" : "H264";
    const AVCodec* decoder = avcodec_find_decoder(isHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (decoder == nullptr) {
        throw std::runtime_error(codecName + " decoder unavailable");
    }
    codecContext.reset(avcodec_alloc_context3(decoder));
    if (!codecContext) {
        throw std::runtime_error("Cannot allocate the " + codecName + " decoder context");
    }
    codecContext->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (this->options.limits) {
        // A second line of defence behind the probe: FFmpeg's own check of each picture size.
        codecContext->max_pixels = this->options.limits->maxPixels();
        sizeProbe.emplace(isHevc);
    }
    if (openHardwareDevice(decoder, this->options.hardwareDecoders)) {
        // Hardware decoders work frame by frame; threads would only add hand-offs.
        codecContext->thread_count = 1;
        codecContext->extra_hw_frames = heldSurfaces;
    } else {
        codecContext->thread_type = FF_THREAD_SLICE;
        codecContext->thread_count = this->options.softwareThreads > 0
                                         ? this->options.softwareThreads
                                         : defaultSliceThreads();
    }
    if (avcodec_open2(codecContext.get(), decoder, nullptr) < 0) {
        throw std::runtime_error("Cannot open " + codecName + " decoder");
    }
    packet.reset(av_packet_alloc());
    nextPicture.reset(av_frame_alloc());
    if (!packet || !nextPicture) {
        throw std::runtime_error("Cannot allocate video frames");
    }
}

VideoDecoder::~VideoDecoder() = default;

bool VideoDecoder::openHardwareDevice(const AVCodec* decoder,
                                      const std::vector<HardwareDecoder>& choices) {
    for (const HardwareDecoder& choice : choices) {
        // Skip devices this decoder cannot use through a device context.
        bool supported = false;
        for (int i = 0;; ++i) {
            const AVCodecHWConfig* config = avcodec_get_hw_config(decoder, i);
            if (config == nullptr) {
                break;
            }
            if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) != 0 &&
                config->device_type == choice.deviceType &&
                config->pix_fmt == choice.surfaceFormat) {
                supported = true;
                break;
            }
        }
        if (!supported) {
            continue;
        }
        AVBufferRef* device = nullptr;
        if (av_hwdevice_ctx_create(&device, choice.deviceType, nullptr, nullptr, 0) < 0) {
            continue;
        }
        hwDeviceContext.reset(device);
        codecContext->hw_device_ctx = av_buffer_ref(device);
        if (codecContext->hw_device_ctx == nullptr) {
            hwDeviceContext.reset();
            continue;
        }
        codecContext->opaque = this;
        codecContext->get_format = &VideoDecoder::selectFormat;
        hardware = &choice;
        hardwareInUse = true;
        return true;
    }
    return false;
}

AVPixelFormat VideoDecoder::choosePixelFormat(AVPixelFormat surfaceFormat,
                                              const AVPixelFormat* offered) {
    for (const AVPixelFormat* f = offered; *f != AV_PIX_FMT_NONE; ++f) {
        if (*f == surfaceFormat) {
            return surfaceFormat;
        }
    }
    // Falling back to a hardware format of another API would fail without its device.
    for (const AVPixelFormat* f = offered; *f != AV_PIX_FMT_NONE; ++f) {
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(*f);
        if (descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) == 0) {
            return *f;
        }
    }
    return AV_PIX_FMT_NONE;
}

AVPixelFormat VideoDecoder::selectFormat(AVCodecContext* context, const AVPixelFormat* offered) {
    auto* self = static_cast<VideoDecoder*>(context->opaque);
    if (self == nullptr || self->hardware == nullptr) {
        return choosePixelFormat(AV_PIX_FMT_NONE, offered);
    }
    const AVPixelFormat chosen = choosePixelFormat(self->hardware->surfaceFormat, offered);
    if (chosen != self->hardware->surfaceFormat) {
        self->hardwareInUse = false;
    }
    return chosen;
}

const char* VideoDecoder::decoderName() const {
    return hardwareInUse && hardware != nullptr ? hardware->name : "software";
}

std::size_t VideoDecoder::decode(const std::byte* data, std::size_t size,
                                 std::optional<std::uint32_t> timestamp, const PictureSink& sink) {
    if (size == 0 || size > static_cast<std::size_t>(INT32_MAX)) {
        return 0;
    }
    av_packet_unref(packet.get());
    if (av_new_packet(packet.get(), static_cast<int>(size)) < 0) {
        return 0;
    }
    std::memcpy(packet->data, data, size);
    packet->pts = timestamp ? static_cast<std::int64_t>(*timestamp) : AV_NOPTS_VALUE;
    if (sizeProbe) {
        // Refused before the decoder sees a slice of it, so no picture of that size is ever
        // allocated.
        const auto pictureSize = sizeProbe->sizeOf(packet->data, packet->size);
        refused = pictureSize ? options.limits->refusal(*pictureSize) : std::nullopt;
        if (refused) {
            return 0;
        }
    }
    if (avcodec_send_packet(codecContext.get(), packet.get()) < 0) {
        ++failures;
        return 0;
    }
    std::size_t handedOver = 0;
    for (;;) {
        if (!nextPicture) {
            nextPicture.reset(av_frame_alloc());
            if (!nextPicture) {
                break;
            }
        }
        const int result = avcodec_receive_frame(codecContext.get(), nextPicture.get());
        if (result != 0) {
            if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
                ++failures;
            }
            break;
        }
        sink(std::move(nextPicture));
        ++handedOver;
    }
    return handedOver;
}
