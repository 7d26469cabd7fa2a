#pragma once

#include <SDL.h>

#include "base/Letterbox.hpp"
#include "base/RemoteCursor.hpp"

class StatisticsPanel;

// What is drawn over each presented picture: the server's cursor, placed on the picture, the
// menu button at the window's top right and, when shown, the statistics panel at its top left.
class StreamOverlay {
  public:
    // The cursor is written by the control channel's thread and read here at every draw.
    explicit StreamOverlay(const RemoteCursor& cursor, const StatisticsPanel* panel = nullptr)
        : cursor(cursor), panel(panel) {}

    // Draws onto the renderer's current frame; `picture` is where the picture was copied, in
    // output pixels.
    void draw(SDL_Renderer* renderer, const letterbox::Rect& picture, int outputW) const;

  private:
    void drawCursor(SDL_Renderer* renderer, const letterbox::Rect& picture) const;
    static void drawMenuButton(SDL_Renderer* renderer, int outputW);

    const RemoteCursor& cursor;
    const StatisticsPanel* panel;
};
