#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include <map>
#include <memory>
#include <string>

#include "platform/linux/PopupMenuView.hpp"

// Draws a PopupMenuView with SDL's renderer and a TrueType font with Cyrillic glyphs.
class PopupMenuPainter {
  public:
    static constexpr const char* fontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    static constexpr SDL_Color background{242, 242, 242, 255};
    static constexpr SDL_Color border{110, 110, 110, 255};
    static constexpr SDL_Color highlight{0, 120, 215, 255};
    static constexpr SDL_Color text{20, 20, 20, 255};
    static constexpr SDL_Color highlightedText{255, 255, 255, 255};
    static constexpr SDL_Color separator{200, 200, 200, 255};

    explicit PopupMenuPainter(SDL_Renderer* renderer);
    ~PopupMenuPainter();
    PopupMenuPainter(const PopupMenuPainter&) = delete;
    PopupMenuPainter& operator=(const PopupMenuPainter&) = delete;

    // False when the font could not be opened; nothing can be drawn then.
    bool usable() const { return font != nullptr; }

    int textWidth(const std::string& utf8);
    void draw(const PopupMenuView& view);

  private:
    struct TextureDeleter {
        void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
    };
    struct FontDeleter {
        void operator()(TTF_Font* f) const { TTF_CloseFont(f); }
    };
    using TexturePtr = std::unique_ptr<SDL_Texture, TextureDeleter>;

    SDL_Texture* label(const std::string& utf8, bool highlighted);
    void drawText(const std::string& utf8, bool highlighted, int x, int centreY);

    SDL_Renderer* renderer;
    bool ttfStarted = false;
    std::unique_ptr<TTF_Font, FontDeleter> font;
    std::map<std::pair<std::string, bool>, TexturePtr> labels;
};
