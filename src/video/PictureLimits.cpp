#include "video/PictureLimits.hpp"

#include <algorithm>

namespace {

int withMargin(int side) {
    return side + std::max(side / 2, PictureLimits::minimumMargin);
}

std::string sizeText(PictureSize size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

}  // namespace

PictureLimits::PictureLimits(PictureSize viewport, int textureWidth, int textureHeight)
    : viewportLimit{withMargin(viewport.width), withMargin(viewport.height)},
      textureLimit{std::max(textureWidth, 0), std::max(textureHeight, 0)} {}

PictureLimits PictureLimits::forRenderer(PictureSize viewport, SDL_Renderer* renderer) {
    SDL_RendererInfo info{};
    if (renderer == nullptr || SDL_GetRendererInfo(renderer, &info) != 0) {
        return PictureLimits(viewport, 0, 0);
    }
    return PictureLimits(viewport, info.max_texture_width, info.max_texture_height);
}

std::optional<std::string> PictureLimits::refusal(PictureSize size) const {
    const std::string picture = "picture " + sizeText(size) + " refused: ";
    if (size.width > viewportLimit.width || size.height > viewportLimit.height) {
        return picture + "larger than the viewport allows (" + sizeText(viewportLimit) + ")";
    }
    if ((textureLimit.width > 0 && size.width > textureLimit.width) ||
        (textureLimit.height > 0 && size.height > textureLimit.height)) {
        return picture + "larger than the renderer's largest texture (" + sizeText(textureLimit) +
               ")";
    }
    return std::nullopt;
}

std::int64_t PictureLimits::maxPixels() const {
    auto side = [](int viewport, int texture) {
        return texture > 0 ? std::min(viewport, texture) : viewport;
    };
    // Decoders size their pictures in whole blocks of up to 64 pixels.
    return std::int64_t{side(viewportLimit.width, textureLimit.width) + 64} *
           (side(viewportLimit.height, textureLimit.height) + 64);
}
