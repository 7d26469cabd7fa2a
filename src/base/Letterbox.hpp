#pragma once

#include <cstdint>
#include <optional>

// Where the picture, the remote cursor and the menu button go in the window. Shared by the
// renderer (output pixels) and the input mapping (window coordinates), so a click lands on
// the pixel the user sees.
namespace letterbox {

struct Rect {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;

    bool operator==(const Rect&) const = default;
};

struct Point {
    int x = 0;
    int y = 0;

    bool operator==(const Point&) const = default;
};

// The picture fitted into the output with black bars, keeping its aspect. An empty output
// gives the empty rectangle (0, 0, ow, oh).
Rect pictureRect(int outputW, int outputH, int pictureW, int pictureH);

// The menu button at the output's top right; it stays over the bars, not the picture.
Rect menuButtonRect(int outputW);

// The tip of the remote cursor for a position of 0..65535 across the picture.
Point cursorPosition(const Rect& picture, std::int32_t cursorX, std::int32_t cursorY);

// A window position as 0..65535 across the shown picture; positions on the bars map to the
// nearest picture edge. Nothing when the window or the picture has no area.
std::optional<Point> absolutePosition(int windowW, int windowH, int pictureW, int pictureH, int x,
                                      int y);

}  // namespace letterbox
