#include "video/VideoPresenter.hpp"

#include <stdexcept>
#include <string>

#include "base/Letterbox.hpp"
#include "video/StreamOverlay.hpp"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
}

namespace {

bool isHardwareSurface(const AVFrame& picture) {
    const AVPixFmtDescriptor* descriptor =
        av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture.format));
    return descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0;
}

}  // namespace

VideoPresenter::VideoPresenter(SDL_Renderer* renderer, std::int32_t width, std::int32_t height,
                               const StreamOverlay& overlay, VideoPresenterOptions options)
    : renderer(renderer),
      overlay(overlay),
      options(options),
      textureWidth(width),
      textureHeight(height) {
    transferFrame.reset(av_frame_alloc());
    convertedFrame.reset(av_frame_alloc());
    if (!transferFrame || !convertedFrame) {
        throw std::runtime_error("Cannot allocate video frames");
    }
    if (width > 0 && height > 0 && !recreateTexture(width, height, SDL_PIXELFORMAT_IYUV)) {
        throw std::runtime_error(std::string("Cannot create the video texture: ") + SDL_GetError());
    }
}

VideoPresenter::~VideoPresenter() = default;

bool VideoPresenter::recreateTexture(std::int32_t newWidth, std::int32_t newHeight, Uint32 format) {
    textureWidth = newWidth;
    textureHeight = newHeight;
    texture.reset();
    texture.reset(
        SDL_CreateTexture(renderer, format, SDL_TEXTUREACCESS_STREAMING, newWidth, newHeight));
    if (!texture) {
        return false;
    }
    textureFormat = format;
    ++textures;
    return true;
}

// Brings a picture in memory into a form the texture takes: planar 4:2:0 as it is, NV12 as it
// is when allowed, anything else converted to planar 4:2:0.
const AVFrame* VideoPresenter::toUploadable(const AVFrame* source, Uint32& format) {
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

void VideoPresenter::checkPresentingOrder(std::int64_t pts) {
    if (pts == AV_NOPTS_VALUE) {
        return;
    }
    const auto timestamp = static_cast<std::uint32_t>(pts);
    // RTP time wraps around at 2^32 ticks (13 h at 90 kHz): compare as a signed distance.
    if (lastPresentedTimestamp &&
        static_cast<std::int32_t>(timestamp - *lastPresentedTimestamp) < 0) {
        ++outOfOrder;
    }
    lastPresentedTimestamp = timestamp;
}

bool VideoPresenter::present(const AVFrame& picture) {
    const AVFrame* source = &picture;
    if (isHardwareSurface(picture)) {
        av_frame_unref(transferFrame.get());
        if (av_hwframe_transfer_data(transferFrame.get(), &picture, 0) < 0) {
            return false;
        }
        source = transferFrame.get();
    }
    if (source->width <= 0 || source->height <= 0) {
        return false;
    }
    Uint32 format = SDL_PIXELFORMAT_IYUV;
    const AVFrame* uploadable = toUploadable(source, format);
    if (uploadable == nullptr) {
        return false;
    }
    if (!texture || source->width != textureWidth || source->height != textureHeight ||
        format != textureFormat) {
        if (!recreateTexture(source->width, source->height, format)) {
            return false;
        }
    }
    if (format == SDL_PIXELFORMAT_NV12) {
        SDL_UpdateNVTexture(texture.get(), nullptr, uploadable->data[0], uploadable->linesize[0],
                            uploadable->data[1], uploadable->linesize[1]);
    } else {
        SDL_UpdateYUVTexture(texture.get(), nullptr, uploadable->data[0], uploadable->linesize[0],
                             uploadable->data[1], uploadable->linesize[1], uploadable->data[2],
                             uploadable->linesize[2]);
    }

    int outputW = 0;
    int outputH = 0;
    SDL_GetRendererOutputSize(renderer, &outputW, &outputH);
    const letterbox::Rect fit =
        letterbox::pictureRect(outputW, outputH, textureWidth, textureHeight);
    const SDL_Rect pictureRect{fit.x, fit.y, fit.w, fit.h};
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    SDL_RenderClear(renderer);
    SDL_RenderCopy(renderer, texture.get(), nullptr, &pictureRect);
    overlay.draw(renderer, fit, outputW);
    SDL_RenderPresent(renderer);
    ++presented;
    checkPresentingOrder(picture.pts);
    return true;
}
