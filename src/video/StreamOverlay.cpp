#include "video/StreamOverlay.hpp"

#include "video/StatisticsPanel.hpp"

void StreamOverlay::draw(SDL_Renderer* renderer, const letterbox::Rect& picture,
                         int outputW) const {
    if (cursor.cursorVisible.load()) {
        drawCursor(renderer, picture);
    }
    drawMenuButton(renderer, outputW);
    if (panel) {
        panel->draw();
    }
}

void StreamOverlay::drawCursor(SDL_Renderer* renderer, const letterbox::Rect& picture) const {
    const letterbox::Point tip =
        letterbox::cursorPosition(picture, cursor.cursorX.load(), cursor.cursorY.load());
    const int cx = tip.x;
    const int cy = tip.y;
    // Blending is still off here, so the shadow is opaque black.
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 230);
    for (int d = -1; d <= 1; ++d) {
        SDL_RenderDrawLine(renderer, cx + d, cy, cx + d, cy + 18);
        SDL_RenderDrawLine(renderer, cx, cy + d, cx + 12, cy + 12 + d);
    }
    SDL_SetRenderDrawColor(renderer, 255, 255, 255, 255);
    SDL_RenderDrawLine(renderer, cx, cy, cx, cy + 16);
    SDL_RenderDrawLine(renderer, cx, cy, cx + 11, cy + 11);
}

void StreamOverlay::drawMenuButton(SDL_Renderer* renderer, int outputW) {
    const letterbox::Rect button = letterbox::menuButtonRect(outputW);
    const SDL_Rect buttonRect{button.x, button.y, button.w, button.h};
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_BLEND);
    SDL_SetRenderDrawColor(renderer, 18, 18, 22, 155);
    SDL_RenderFillRect(renderer, &buttonRect);
    SDL_SetRenderDrawColor(renderer, 255, 255, 255, 220);
    for (int i = 0; i <= 16; i += 8) {
        SDL_RenderDrawLine(renderer, button.x + 10, button.y + 12 + i, button.x + 30,
                           button.y + 12 + i);
    }
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_NONE);
}
