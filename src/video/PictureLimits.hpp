#pragma once

#include <SDL.h>

#include <cstdint>
#include <optional>
#include <string>

struct PictureSize {
    int width = 0;
    int height = 0;
    bool operator==(const PictureSize&) const = default;
};

// The largest picture the client takes from the stream. A server sends the viewport the
// client reported, perhaps rounded up to its block size or to the next common size (1080
// lines to a 768-line display); anything much larger is a broken or hostile stream, whose
// reference pictures alone could take gigabytes. A picture larger than the renderer's largest
// texture could not be shown either.
class PictureLimits {
  public:
    // Room above the reported viewport: half of each side, and at least this much.
    static constexpr int minimumMargin = 64;

    // textureWidth, textureHeight: the renderer's largest texture; 0 when it does not say.
    PictureLimits(PictureSize viewport, int textureWidth, int textureHeight);
    // The same with the texture limit the renderer reports.
    static PictureLimits forRenderer(PictureSize viewport, SDL_Renderer* renderer);

    // Why a picture of this size is refused, as a log line's value naming the size; none when
    // it is taken.
    std::optional<std::string> refusal(PictureSize size) const;
    // The most pixels a taken picture has, for the decoder's own check.
    std::int64_t maxPixels() const;

  private:
    PictureSize viewportLimit;
    PictureSize textureLimit;  // 0: unlimited
};
