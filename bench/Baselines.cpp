#include "Baselines.hpp"

#include "base/RemoteCursor.hpp"
#include "video/StreamOverlay.hpp"
#include "video/VideoPresenter.hpp"

extern "C" {
#include <libswscale/swscale.h>
}

namespace bench {

Baseline measureBaseline(const Stream& stream, SDL_Renderer* renderer, int sliceThreads) {
    Baseline baseline;
    for (int threads : {1, sliceThreads}) {
        RawDecoder decoder(stream.hevc, threads);
        std::vector<double> times;
        for (const auto& unit : stream.units) {
            const auto start = Clock::now();
            AVFrame* picture = decoder.decode(unit);
            const auto end = Clock::now();
            if (picture != nullptr) {
                times.push_back(msSince(start, end));
            }
        }
        (threads == 1 ? baseline.rawDecode1 : baseline.rawDecodeSlice) = summarise(times);
    }

    RawDecoder decoder(stream.hevc, sliceThreads);
    SDL_Texture* texture = nullptr;
    int textureW = 0;
    int textureH = 0;
    std::vector<double> times;
    for (const auto& unit : stream.units) {
        AVFrame* p = decoder.decode(unit);
        if (p == nullptr || p->format != AV_PIX_FMT_YUV420P) {
            continue;
        }
        if (texture == nullptr || p->width != textureW || p->height != textureH) {
            SDL_DestroyTexture(texture);
            texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING,
                                        p->width, p->height);
            textureW = p->width;
            textureH = p->height;
        }
        const auto start = Clock::now();
        SDL_UpdateYUVTexture(texture, nullptr, p->data[0], p->linesize[0], p->data[1],
                             p->linesize[1], p->data[2], p->linesize[2]);
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
        SDL_RenderClear(renderer);
        SDL_RenderCopy(renderer, texture, nullptr, nullptr);
        SDL_RenderPresent(renderer);
        times.push_back(msSince(start, Clock::now()));
    }
    SDL_DestroyTexture(texture);
    baseline.bare = summarise(times);
    return baseline;
}

std::pair<Summary, Summary> measureNv12(const Stream& stream, SDL_Renderer* renderer,
                                        int sliceThreads) {
    RawDecoder decoder(stream.hevc, sliceThreads);
    FramePtr nv12(av_frame_alloc());
    SwsContext* toNv12 = nullptr;
    const RemoteCursor cursor;
    const StreamOverlay overlay(cursor);
    VideoPresenter uploading(renderer, windowW, windowH, overlay, VideoPresenterOptions{true});
    VideoPresenter converting(renderer, windowW, windowH, overlay, VideoPresenterOptions{false});
    std::vector<double> uploadTimes;
    std::vector<double> convertTimes;
    for (const auto& unit : stream.units) {
        pumpEvents();
        AVFrame* p = decoder.decode(unit);
        if (p == nullptr) {
            continue;
        }
        if (nv12->width != p->width || nv12->height != p->height) {
            av_frame_unref(nv12.get());
            nv12->format = AV_PIX_FMT_NV12;
            nv12->width = p->width;
            nv12->height = p->height;
            av_frame_get_buffer(nv12.get(), 32);
        }
        toNv12 = sws_getCachedContext(toNv12, p->width, p->height,
                                      static_cast<AVPixelFormat>(p->format), p->width, p->height,
                                      AV_PIX_FMT_NV12, SWS_POINT, nullptr, nullptr, nullptr);
        sws_scale(toNv12, p->data, p->linesize, 0, p->height, nv12->data, nv12->linesize);
        auto start = Clock::now();
        uploading.present(*nv12);
        uploadTimes.push_back(msSince(start, Clock::now()));
        start = Clock::now();
        converting.present(*nv12);
        convertTimes.push_back(msSince(start, Clock::now()));
    }
    sws_freeContext(toNv12);
    return {summarise(uploadTimes), summarise(convertTimes)};
}

}  // namespace bench
