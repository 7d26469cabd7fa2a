#include "input/AbsolutePosition.hpp"

#include <algorithm>

std::optional<AbsolutePosition> mapToAbsolutePosition(int windowWidth, int windowHeight,
                                                      int pictureWidth, int pictureHeight, int x,
                                                      int y) {
    if (windowWidth <= 0 || windowHeight <= 0 || pictureWidth <= 0 || pictureHeight <= 0) {
        return std::nullopt;
    }
    const double w = windowWidth;
    const double h = windowHeight;
    const double aspect = static_cast<double>(pictureWidth) / pictureHeight;

    double pw = w;
    double ph = w / aspect;
    double ox = 0.0;
    double oy = (h - w / aspect) * 0.5;
    if (w / h > aspect) {
        pw = h * aspect;
        ph = h;
        ox = (w - h * aspect) * 0.5;
        oy = 0.0;
    }

    const double fx = std::clamp((x - ox) / pw, 0.0, 1.0);
    const double fy = std::clamp((y - oy) / ph, 0.0, 1.0);
    return AbsolutePosition{static_cast<std::int32_t>(fx * 65535.0),
                            static_cast<std::int32_t>(fy * 65535.0)};
}
