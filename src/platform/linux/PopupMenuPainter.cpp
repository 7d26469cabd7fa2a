#include "platform/linux/PopupMenuPainter.hpp"

namespace {

constexpr int fontSize = 14;
constexpr const char* checkMark = "\u2713";
constexpr const char* submenuArrow = "\u25B8";

void setColour(SDL_Renderer* renderer, SDL_Color c) {
    SDL_SetRenderDrawColor(renderer, c.r, c.g, c.b, c.a);
}

}  // namespace

PopupMenuPainter::PopupMenuPainter(SDL_Renderer* renderer) : renderer(renderer) {
    // TTF_Init counts its callers, so this pairs with the TTF_Quit of the destructor without
    // disturbing anyone else's use of the library.
    ttfStarted = TTF_Init() == 0;
    if (ttfStarted) {
        font.reset(TTF_OpenFont(fontPath, fontSize));
    }
}

PopupMenuPainter::~PopupMenuPainter() {
    labels.clear();
    font.reset();
    if (ttfStarted) {
        TTF_Quit();
    }
}

int PopupMenuPainter::textWidth(const std::string& utf8) {
    int w = 0;
    int h = 0;
    if (!font || TTF_SizeUTF8(font.get(), utf8.c_str(), &w, &h) != 0) {
        return 0;
    }
    return w;
}

SDL_Texture* PopupMenuPainter::label(const std::string& utf8, bool highlighted) {
    const auto key = std::make_pair(utf8, highlighted);
    if (const auto it = labels.find(key); it != labels.end()) {
        return it->second.get();
    }
    SDL_Texture* texture = nullptr;
    if (SDL_Surface* surface = TTF_RenderUTF8_Blended(font.get(), utf8.c_str(),
                                                      highlighted ? highlightedText : text)) {
        texture = SDL_CreateTextureFromSurface(renderer, surface);
        SDL_FreeSurface(surface);
    }
    labels.emplace(key, TexturePtr(texture));
    return texture;
}

void PopupMenuPainter::drawText(const std::string& utf8, bool highlighted, int x, int centreY) {
    if (utf8.empty()) {
        return;
    }
    SDL_Texture* texture = label(utf8, highlighted);
    if (texture == nullptr) {
        return;
    }
    int w = 0;
    int h = 0;
    SDL_QueryTexture(texture, nullptr, nullptr, &w, &h);
    const SDL_Rect target{x, centreY - h / 2, w, h};
    SDL_RenderCopy(renderer, texture, nullptr, &target);
}

void PopupMenuPainter::draw(const PopupMenuView& view) {
    if (!font) {
        return;
    }
    const auto& m = view.metrics();
    SDL_SetRenderDrawBlendMode(renderer, SDL_BLENDMODE_NONE);
    for (const auto& panel : view.panels()) {
        setColour(renderer, background);
        SDL_RenderFillRect(renderer, &panel.box);
        SDL_RenderSetClipRect(renderer, &panel.box);
        for (int i = 0; i < static_cast<int>(panel.rows.size()); ++i) {
            const MenuEntry& entry = (*panel.entries)[i];
            const SDL_Rect row = view.rowOnScreen(panel, i);
            if (row.y + row.h < panel.box.y || row.y > panel.box.y + panel.box.h) {
                continue;
            }
            if (entry.kind == MenuEntry::Kind::Separator) {
                setColour(renderer, separator);
                const SDL_Rect line{row.x + 4, row.y + row.h / 2, row.w - 8, 1};
                SDL_RenderFillRect(renderer, &line);
                continue;
            }
            const bool lit = panel.highlighted == i;
            if (lit) {
                setColour(renderer, highlight);
                const SDL_Rect band{row.x + 2, row.y, row.w - 4, row.h};
                SDL_RenderFillRect(renderer, &band);
            }
            const int centreY = row.y + row.h / 2;
            if (entry.checked) {
                drawText(checkMark, lit, row.x + 8, centreY);
            }
            drawText(entry.label, lit, row.x + m.checkColumn, centreY);
            if (entry.kind == MenuEntry::Kind::Submenu) {
                drawText(submenuArrow, lit, row.x + row.w - m.arrowColumn + 6, centreY);
            }
        }
        SDL_RenderSetClipRect(renderer, nullptr);
        setColour(renderer, border);
        SDL_RenderDrawRect(renderer, &panel.box);
    }
}
