#pragma once

#include <SDL.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

class StreamOverlay;

struct VideoPresenterOptions {
    // Upload NV12 pictures (what hardware decoders hand back) to an NV12 texture as they
    // are, instead of converting them to planar 4:2:0 on the CPU first.
    bool nv12Upload = true;
};

// Shows decoded pictures in the window: brings each into a form the streaming texture takes,
// uploads it, fits it into the window with black bars, draws the overlay and presents. The
// texture follows the pictures' size and format. Main thread only, like the renderer.
class VideoPresenter {
  public:
    // width and height size the first texture, before any picture has been seen.
    VideoPresenter(SDL_Renderer* renderer, std::int32_t width, std::int32_t height,
                   const StreamOverlay& overlay, VideoPresenterOptions options = {});
    ~VideoPresenter();
    VideoPresenter(const VideoPresenter&) = delete;
    VideoPresenter& operator=(const VideoPresenter&) = delete;

    // Presents one decoded picture, a hardware surface or in memory. False when it could not
    // be shown; the window then keeps the previous picture.
    bool present(const AVFrame& picture);

    // The size of the texture: the last picture's, or the one given at construction before.
    std::int32_t width() const { return textureWidth; }
    std::int32_t height() const { return textureHeight; }
    // Any thread may read it.
    std::uint64_t framesPresented() const { return presented.load(); }
    // Presented pictures whose timestamp lies before the previous one's: pictures shown in
    // the wrong order, whether the queue, the engine or the decoder reordered them.
    std::uint64_t framesOutOfOrder() const { return outOfOrder; }
    // Textures created so far, the one made at construction included.
    std::uint64_t texturesCreated() const { return textures; }

  private:
    struct FrameDeleter {
        void operator()(AVFrame* p) const { av_frame_free(&p); }
    };
    struct ScalerDeleter {
        void operator()(SwsContext* p) const { sws_freeContext(p); }
    };
    struct TextureDeleter {
        void operator()(SDL_Texture* p) const { SDL_DestroyTexture(p); }
    };

    bool recreateTexture(std::int32_t newWidth, std::int32_t newHeight, Uint32 format);
    const AVFrame* toUploadable(const AVFrame* source, Uint32& textureFormat);
    void checkPresentingOrder(std::int64_t pts);

    SDL_Renderer* renderer;
    const StreamOverlay& overlay;
    VideoPresenterOptions options;
    std::int32_t textureWidth;
    std::int32_t textureHeight;
    Uint32 textureFormat = SDL_PIXELFORMAT_IYUV;
    std::atomic<std::uint64_t> presented{0};
    std::uint64_t outOfOrder = 0;
    std::uint64_t textures = 0;
    std::optional<std::uint32_t> lastPresentedTimestamp;

    // Declared in reverse order of release: the texture goes first.
    std::unique_ptr<AVFrame, FrameDeleter> transferFrame;
    std::unique_ptr<AVFrame, FrameDeleter> convertedFrame;
    std::unique_ptr<SwsContext, ScalerDeleter> scaler;
    std::unique_ptr<SDL_Texture, TextureDeleter> texture;
};
