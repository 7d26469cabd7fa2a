#include "video/VideoPipeline.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/Letterbox.hpp"
#include "video/StreamOverlay.hpp"

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

VideoPipeline::VideoPipeline(SDL_Renderer* renderer, std::int32_t width, std::int32_t height,
                             bool isHevc, const StreamOverlay& overlay,
                             VideoPipelineOptions options)
    : width(width),
      height(height),
      isHevc(isHevc),
      renderer(renderer),
      overlay(overlay),
      options(std::move(options)) {
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
    if (openHardwareDevice(decoder, this->options.hardwareDecoders)) {
        // Hardware decoders work frame by frame; threads would only add hand-offs.
        codecContext->thread_count = 1;
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
    frame.reset(av_frame_alloc());
    transferFrame.reset(av_frame_alloc());
    convertedFrame.reset(av_frame_alloc());
    if (!packet || !frame || !transferFrame || !convertedFrame) {
        throw std::runtime_error("Cannot allocate video frames");
    }
    if (width > 0 && height > 0 && !recreateTexture(width, height, SDL_PIXELFORMAT_IYUV)) {
        throw std::runtime_error(std::string("Cannot create the video texture: ") + SDL_GetError());
    }
}

VideoPipeline::~VideoPipeline() = default;

bool VideoPipeline::openHardwareDevice(const AVCodec* decoder,
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
        codecContext->get_format = &VideoPipeline::selectFormat;
        hardware = &choice;
        hardwareDecoding = true;
        return true;
    }
    return false;
}

AVPixelFormat VideoPipeline::choosePixelFormat(AVPixelFormat surfaceFormat,
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

AVPixelFormat VideoPipeline::selectFormat(AVCodecContext* context, const AVPixelFormat* offered) {
    auto* pipeline = static_cast<VideoPipeline*>(context->opaque);
    if (pipeline == nullptr || pipeline->hardware == nullptr) {
        return choosePixelFormat(AV_PIX_FMT_NONE, offered);
    }
    const AVPixelFormat chosen = choosePixelFormat(pipeline->hardware->surfaceFormat, offered);
    if (chosen != pipeline->hardware->surfaceFormat) {
        pipeline->hardwareDecoding = false;
    }
    return chosen;
}

const char* VideoPipeline::decoderName() const {
    return hardwareDecoding && hardware != nullptr ? hardware->name : "software";
}

void VideoPipeline::decodeFailed() {
    ++decodeFailures;
}

void VideoPipeline::checkPresentingOrder(std::int64_t pts) {
    if (pts == AV_NOPTS_VALUE) {
        return;
    }
    const auto timestamp = static_cast<std::uint32_t>(pts);
    // RTP time wraps around at 2^32 ticks (13 h at 90 kHz): compare as a signed distance.
    if (lastPresentedTimestamp &&
        static_cast<std::int32_t>(timestamp - *lastPresentedTimestamp) < 0) {
        ++framesOutOfOrder;
    }
    lastPresentedTimestamp = timestamp;
}

bool VideoPipeline::decodeAndPresent(const std::byte* data, std::size_t size,
                                     std::optional<std::uint32_t> timestamp) {
    if (size == 0 || size > static_cast<std::size_t>(INT32_MAX)) {
        return false;
    }
    av_packet_unref(packet.get());
    if (av_new_packet(packet.get(), static_cast<int>(size)) < 0) {
        return false;
    }
    std::memcpy(packet->data, data, size);
    packet->pts = timestamp ? static_cast<std::int64_t>(*timestamp) : AV_NOPTS_VALUE;
    if (avcodec_send_packet(codecContext.get(), packet.get()) < 0) {
        decodeFailed();
        return false;
    }
    bool presented = false;
    for (;;) {
        const int result = avcodec_receive_frame(codecContext.get(), frame.get());
        if (result != 0) {
            if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
                decodeFailed();
            }
            break;
        }
        if (presentPicture(frame.get())) {
            presented = true;
            checkPresentingOrder(frame->pts);
        }
        av_frame_unref(frame.get());
    }
    return presented;
}

bool VideoPipeline::recreateTexture(std::int32_t newWidth, std::int32_t newHeight, Uint32 format) {
    width = newWidth;
    height = newHeight;
    texture.reset();
    texture.reset(SDL_CreateTexture(renderer, format, SDL_TEXTUREACCESS_STREAMING, width, height));
    if (!texture) {
        return false;
    }
    textureFormat = format;
    ++texturesCreated;
    return true;
}

// Brings a picture in memory into a form the texture takes: planar 4:2:0 as it is, NV12 as it
// is when allowed, anything else converted to planar 4:2:0.
const AVFrame* VideoPipeline::toUploadable(const AVFrame* source, Uint32& format) {
    if (source->format == AV_PIX_FMT_YUV420P) {
        format = SDL_PIXELFORMAT_IYUV;
        return source;
    }
    if (source->format == AV_PIX_FMT_NV12 && options.nv12Upload) {
        format = SDL_PIXELFORMAT_NV12;
        return source;
    }
    format = SDL_PIXELFORMAT_IYUV;
    AVFrame* converted = convertedFrame.get();
    // The target buffer is kept while the size stays; the texture upload copies it anyway.
    if (converted->buf[0] == nullptr || converted->width != source->width ||
        converted->height != source->height) {
        av_frame_unref(converted);
        converted->format = AV_PIX_FMT_YUV420P;
        converted->width = source->width;
        converted->height = source->height;
        if (av_frame_get_buffer(converted, 32) < 0) {
            return nullptr;
        }
    }
    SwsContext* cached = sws_getCachedContext(scaler.release(), source->width, source->height,
                                              static_cast<AVPixelFormat>(source->format),
                                              source->width, source->height, AV_PIX_FMT_YUV420P,
                                              SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    scaler.reset(cached);
    if (!scaler) {
        return nullptr;
    }
    sws_scale(scaler.get(), source->data, source->linesize, 0, source->height, converted->data,
              converted->linesize);
    return converted;
}

bool VideoPipeline::presentPicture(const AVFrame* decoded) {
    const AVFrame* source = decoded;
    if (hardware != nullptr && decoded->format == hardware->surfaceFormat) {
        av_frame_unref(transferFrame.get());
        if (av_hwframe_transfer_data(transferFrame.get(), decoded, 0) < 0) {
            return false;
        }
        source = transferFrame.get();
    }
    if (source->width <= 0 || source->height <= 0) {
        return false;
    }
    Uint32 format = SDL_PIXELFORMAT_IYUV;
    const AVFrame* picture = toUploadable(source, format);
    if (picture == nullptr) {
        return false;
    }
    if (!texture || source->width != width || source->height != height || format != textureFormat) {
        if (!recreateTexture(source->width, source->height, format)) {
            return false;
        }
    }
    if (format == SDL_PIXELFORMAT_NV12) {
        SDL_UpdateNVTexture(texture.get(), nullptr, picture->data[0], picture->linesize[0],
                            picture->data[1], picture->linesize[1]);
    } else {
        SDL_UpdateYUVTexture(texture.get(), nullptr, picture->data[0], picture->linesize[0],
                             picture->data[1], picture->linesize[1], picture->data[2],
                             picture->linesize[2]);
    }

    int outputW = 0;
    int outputH = 0;
    SDL_GetRendererOutputSize(renderer, &outputW, &outputH);
    const letterbox::Rect fit = letterbox::pictureRect(outputW, outputH, width, height);
    const SDL_Rect pictureRect{fit.x, fit.y, fit.w, fit.h};
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    SDL_RenderClear(renderer);
    SDL_RenderCopy(renderer, texture.get(), nullptr, &pictureRect);
    overlay.draw(renderer, fit, outputW);
    SDL_RenderPresent(renderer);
    ++framesPresented;
    return true;
}
