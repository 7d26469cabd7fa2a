#include "base/Letterbox.hpp"

#include <algorithm>

namespace letterbox {

Rect pictureRect(int outputW, int outputH, int pictureW, int pictureH) {
    Rect rect{0, 0, outputW, outputH};
    if (outputW < 1 || outputH < 1 || pictureW < 1 || pictureH < 1) {
        return rect;
    }
    const double pictureAspect = static_cast<double>(pictureW) / pictureH;
    const double outputAspect = static_cast<double>(outputW) / outputH;
    if (outputAspect > pictureAspect) {
        rect.w = static_cast<int>(outputH * pictureAspect);
        rect.x = (outputW - rect.w) / 2;
    } else {
        rect.h = static_cast<int>(outputW / pictureAspect);
        rect.y = (outputH - rect.h) / 2;
    }
    return rect;
}

Rect menuButtonRect(int outputW) {
    return Rect{std::max(outputW - 54, 8), 14, 40, 40};
}

Point cursorPosition(const Rect& picture, std::int32_t cursorX, std::int32_t cursorY) {
    return Point{picture.x + static_cast<int>(cursorX / 65535.0 * picture.w),
                 picture.y + static_cast<int>(cursorY / 65535.0 * picture.h)};
}

std::optional<Point> absolutePosition(int windowW, int windowH, int pictureW, int pictureH, int x,
                                      int y) {
    if (windowW <= 0 || windowH <= 0 || pictureW <= 0 || pictureH <= 0) {
        return std::nullopt;
    }
    // Same fit as pictureRect, kept in doubles so the mapping has no rounding steps.
    const double aspect = static_cast<double>(pictureW) / pictureH;
    double pw = windowW, ph = windowH, ox = 0, oy = 0;
    if (static_cast<double>(windowW) / windowH > aspect) {
        pw = windowH * aspect;
        ox = (windowW - pw) * 0.5;
    } else {
        ph = windowW / aspect;
        oy = (windowH - ph) * 0.5;
    }
    const double fx = std::clamp((x - ox) / pw, 0.0, 1.0);
    const double fy = std::clamp((y - oy) / ph, 0.0, 1.0);
    return Point{static_cast<int>(fx * 65535.0), static_cast<int>(fy * 65535.0)};
}

}  // namespace letterbox
