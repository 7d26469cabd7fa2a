#pragma once

#include <cstdint>
#include <optional>

// A pointer position across the shown picture: 0 at the left or top edge, 65535 at the
// right or bottom edge.
struct AbsolutePosition {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// Maps a window position to the picture, letterboxed into the window as the renderer does
// (but without rounding). Positions on the black bars go to the nearest picture edge.
// Nothing when the window or the picture has no area.
std::optional<AbsolutePosition> mapToAbsolutePosition(int windowWidth, int windowHeight,
                                                      int pictureWidth, int pictureHeight, int x,
                                                      int y);
