#include "platform/PopupMenu.hpp"

#include <SDL.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/linux/PopupMenuPainter.hpp"
#include "platform/linux/PopupMenuView.hpp"

namespace {

constexpr Uint32 noEventType = static_cast<Uint32>(-1);

// Registered once; SDL hands out user event numbers for the whole process.
Uint32 menuEventType() {
    static const Uint32 type = SDL_RegisterEvents(1);
    return type;
}

struct TextureDeleter {
    void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
};
using TexturePtr = std::unique_ptr<SDL_Texture, TextureDeleter>;

// The window's picture as it is before the menu opens, so the menu can be drawn over it and
// taken away again without the video pipeline's help.
TexturePtr capturePicture(SDL_Renderer* renderer) {
    int w = 0;
    int h = 0;
    if (SDL_GetRendererOutputSize(renderer, &w, &h) != 0 || w <= 0 || h <= 0) {
        return nullptr;
    }
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w) * h);
    if (SDL_RenderReadPixels(renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, pixels.data(), w * 4) !=
        0) {
        return nullptr;
    }
    TexturePtr texture(
        SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STATIC, w, h));
    if (texture && SDL_UpdateTexture(texture.get(), nullptr, pixels.data(), w * 4) != 0) {
        texture.reset();
    }
    return texture;
}

// Draws in window coordinates whatever scale and viewport the video renderer left behind,
// and puts them back afterwards.
class RenderStateGuard {
  public:
    RenderStateGuard(SDL_Renderer* renderer, SDL_Window* window) : renderer(renderer) {
        SDL_RenderGetScale(renderer, &scaleX, &scaleY);
        SDL_RenderGetViewport(renderer, &viewport);
        SDL_RenderSetViewport(renderer, nullptr);
        int ww = 0;
        int wh = 0;
        int ow = 0;
        int oh = 0;
        SDL_GetWindowSize(window, &ww, &wh);
        SDL_GetRendererOutputSize(renderer, &ow, &oh);
        if (ww > 0 && wh > 0 && ow > 0 && oh > 0) {
            pixelScaleX = static_cast<float>(ow) / ww;
            pixelScaleY = static_cast<float>(oh) / wh;
        }
    }
    ~RenderStateGuard() {
        SDL_RenderSetScale(renderer, scaleX, scaleY);
        SDL_RenderSetViewport(renderer, &viewport);
    }
    RenderStateGuard(const RenderStateGuard&) = delete;
    RenderStateGuard& operator=(const RenderStateGuard&) = delete;

    void windowCoordinates() { SDL_RenderSetScale(renderer, pixelScaleX, pixelScaleY); }
    void pixelCoordinates() { SDL_RenderSetScale(renderer, 1.0f, 1.0f); }

  private:
    SDL_Renderer* renderer;
    float scaleX = 1.0f;
    float scaleY = 1.0f;
    SDL_Rect viewport{};
    float pixelScaleX = 1.0f;
    float pixelScaleY = 1.0f;
};

void present(SDL_Renderer* renderer, RenderStateGuard& state, SDL_Texture* picture,
             PopupMenuPainter* painter, const PopupMenuView* view) {
    state.pixelCoordinates();
    if (picture != nullptr) {
        SDL_RenderCopy(renderer, picture, nullptr, nullptr);
    } else {
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
        SDL_RenderClear(renderer);
    }
    if (painter != nullptr && view != nullptr) {
        state.windowCoordinates();
        painter->draw(*view);
    }
    SDL_RenderPresent(renderer);
}

bool isMenuInput(Uint32 type) {
    switch (type) {
        case SDL_MOUSEMOTION:
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
        case SDL_MOUSEWHEEL:
        case SDL_KEYDOWN:
        case SDL_KEYUP:
        case SDL_TEXTINPUT:
        case SDL_TEXTEDITING:
            return true;
        default:
            return false;
    }
}

}  // namespace

void enableMenuCommandEvents() {
    menuEventType();
}

void closePopupMenus() {
    // The menu's own loop ends at SDL_QUIT, which the stop pushes through SDL's queue; nothing
    // else can reach it.
}

std::optional<int> menuCommandFromEvent(const SDL_Event& event) {
    const Uint32 type = menuEventType();
    if (type == noEventType || event.type != type) {
        return std::nullopt;
    }
    return event.user.code;
}

void showPopupMenu(const PopupMenuOwner& owner, const std::vector<MenuEntry>& menu, int x, int y) {
    if (owner.window == nullptr || owner.renderer == nullptr || menu.empty()) {
        return;
    }
    SDL_Renderer* renderer = owner.renderer;
    PopupMenuPainter painter(renderer);
    if (!painter.usable()) {
        return;
    }
    const TexturePtr picture = capturePicture(renderer);
    int windowWidth = 0;
    int windowHeight = 0;
    SDL_GetWindowSize(owner.window, &windowWidth, &windowHeight);
    PopupMenuView view(menu, x, y, windowWidth, windowHeight,
                       [&painter](const std::string& text) { return painter.textWidth(text); });

    // Like a native modal menu, this loop owns the event queue until the menu closes; events
    // meant for the main loop are handed back to it afterwards.
    std::vector<SDL_Event> forMainLoop;
    {
        RenderStateGuard state(renderer, owner.window);
        present(renderer, state, picture.get(), &painter, &view);
        while (view.outcome() == PopupMenuView::Outcome::Open) {
            SDL_Event event;
            if (SDL_WaitEventTimeout(&event, 100) == 0) {
                continue;
            }
            bool redraw = false;
            if (isMenuInput(event.type)) {
                redraw = view.handle(event);
            } else if (event.type == SDL_WINDOWEVENT) {
                const Uint8 what = event.window.event;
                if (what == SDL_WINDOWEVENT_FOCUS_LOST || what == SDL_WINDOWEVENT_SIZE_CHANGED ||
                    what == SDL_WINDOWEVENT_HIDDEN || what == SDL_WINDOWEVENT_MINIMIZED) {
                    view.dismiss();
                }
                redraw = what == SDL_WINDOWEVENT_EXPOSED;
                forMainLoop.push_back(event);
            } else {
                if (event.type == SDL_QUIT) {
                    view.dismiss();
                }
                forMainLoop.push_back(event);
            }
            if (redraw && view.outcome() == PopupMenuView::Outcome::Open) {
                present(renderer, state, picture.get(), &painter, &view);
            }
        }
        present(renderer, state, picture.get(), nullptr, nullptr);
    }

    for (auto& event : forMainLoop) {
        SDL_PushEvent(&event);
    }
    const Uint32 type = menuEventType();
    if (view.outcome() == PopupMenuView::Outcome::Chosen && type != noEventType) {
        SDL_Event command{};
        command.type = type;
        command.user.windowID = SDL_GetWindowID(owner.window);
        command.user.code = view.chosenId();
        SDL_PushEvent(&command);
    }
}
