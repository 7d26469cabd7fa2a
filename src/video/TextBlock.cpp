#include "video/TextBlock.hpp"

#include <algorithm>

#include "platform/Fonts.hpp"

namespace {
struct SurfaceDeleter {
    void operator()(SDL_Surface* s) const { SDL_FreeSurface(s); }
};
using SurfacePtr = std::unique_ptr<SDL_Surface, SurfaceDeleter>;
}  // namespace

TextBlock::TextBlock(SDL_Renderer* renderer, int pointSize, bool monospace, SDL_Color colour)
    : renderer(renderer), colour(colour) {
    const auto file = platform::textFontFile(monospace);
    if (!file) {
        return;
    }
    // TTF_Init counts its callers; the destructor's TTF_Quit pairs with this one.
    ttfStarted = TTF_Init() == 0;
    if (ttfStarted) {
        font.reset(TTF_OpenFont(file->c_str(), pointSize));
    }
}

TextBlock::~TextBlock() {
    texture.reset();
    font.reset();
    if (ttfStarted) {
        TTF_Quit();
    }
}

void TextBlock::setLines(const std::vector<std::string>& utf8Lines) {
    if (!font || utf8Lines == lines) {
        return;
    }
    lines = utf8Lines;
    texture.reset();
    textureW = 0;
    textureH = 0;
    // Each line on its own, stacked into one surface: the library's wrapping would break
    // lines at its own places.
    std::vector<SurfacePtr> rendered;
    const int lineHeight = TTF_FontLineSkip(font.get());
    int width = 0;
    for (const std::string& line : lines) {
        rendered.emplace_back(
            line.empty() ? nullptr : TTF_RenderUTF8_Blended(font.get(), line.c_str(), colour));
        if (rendered.back()) {
            width = std::max(width, rendered.back()->w);
        }
    }
    const int height = lineHeight * static_cast<int>(lines.size());
    if (width == 0 || height == 0) {
        return;
    }
    SurfacePtr block(
        SDL_CreateRGBSurfaceWithFormat(0, width, height, 32, SDL_PIXELFORMAT_ARGB8888));
    if (!block) {
        return;
    }
    SDL_FillRect(block.get(), nullptr, SDL_MapRGBA(block->format, 0, 0, 0, 0));
    for (std::size_t i = 0; i < rendered.size(); ++i) {
        if (rendered[i]) {
            SDL_SetSurfaceBlendMode(rendered[i].get(), SDL_BLENDMODE_NONE);
            SDL_Rect at{0, static_cast<int>(i) * lineHeight, rendered[i]->w, rendered[i]->h};
            SDL_BlitSurface(rendered[i].get(), nullptr, block.get(), &at);
        }
    }
    texture.reset(SDL_CreateTextureFromSurface(renderer, block.get()));
    if (texture) {
        SDL_SetTextureBlendMode(texture.get(), SDL_BLENDMODE_BLEND);
        textureW = width;
        textureH = height;
    }
}

void TextBlock::draw(int x, int y) const {
    if (!texture) {
        return;
    }
    const SDL_Rect target{x, y, textureW, textureH};
    SDL_RenderCopy(renderer, texture.get(), nullptr, &target);
}
