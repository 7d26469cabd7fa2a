#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include <memory>
#include <string>
#include <vector>

// Lines of text drawn in the window, rendered into one texture only when they change, so that
// drawing them every frame costs a single copy. Without a font nothing is drawn and the size
// is zero. Main thread only, like the renderer.
class TextBlock {
  public:
    TextBlock(SDL_Renderer* renderer, int pointSize, bool monospace, SDL_Color colour);
    ~TextBlock();
    TextBlock(const TextBlock&) = delete;
    TextBlock& operator=(const TextBlock&) = delete;

    bool usable() const { return font != nullptr; }
    void setLines(const std::vector<std::string>& utf8Lines);
    int width() const { return textureW; }
    int height() const { return textureH; }
    void draw(int x, int y) const;

  private:
    struct FontDeleter {
        void operator()(TTF_Font* f) const { TTF_CloseFont(f); }
    };
    struct TextureDeleter {
        void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
    };

    SDL_Renderer* renderer;
    SDL_Color colour;
    bool ttfStarted = false;
    std::unique_ptr<TTF_Font, FontDeleter> font;
    std::vector<std::string> lines;
    std::unique_ptr<SDL_Texture, TextureDeleter> texture;
    int textureW = 0;
    int textureH = 0;
};
