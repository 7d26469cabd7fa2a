#pragma once

#include <SDL.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <stdexcept>

// What a window would show, drawn by a software renderer into a surface and readable after
// the present without a display.
namespace testscreen {

struct Rgb {
    int r, g, b;
};

inline std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "(" << c.r << "," << c.g << "," << c.b << ")";
}

inline bool near(const Rgb& a, const Rgb& b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

inline const Rgb black{0, 0, 0};
inline const Rgb white{255, 255, 255};

class Screen {
  public:
    Screen(int w, int h)
        : surface(SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_ARGB8888),
                  SDL_FreeSurface),
          renderer(surface ? SDL_CreateSoftwareRenderer(surface.get()) : nullptr,
                   SDL_DestroyRenderer) {
        if (!renderer) {
            throw std::runtime_error(SDL_GetError());
        }
    }
    SDL_Renderer* get() const { return renderer.get(); }
    int width() const { return surface->w; }
    int height() const { return surface->h; }

    Rgb at(int x, int y) const {
        const auto* row = static_cast<const std::uint8_t*>(surface->pixels) + y * surface->pitch;
        const std::uint32_t p = reinterpret_cast<const std::uint32_t*>(row)[x];
        return Rgb{static_cast<int>((p >> 16) & 0xff), static_cast<int>((p >> 8) & 0xff),
                   static_cast<int>(p & 0xff)};
    }

    // Largest channel difference between two screens of the same size.
    int maxDifference(const Screen& other) const {
        int worst = 0;
        for (int y = 0; y < height(); ++y) {
            for (int x = 0; x < width(); ++x) {
                const Rgb a = at(x, y), b = other.at(x, y);
                worst = std::max(
                    {worst, std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
            }
        }
        return worst;
    }

  private:
    std::unique_ptr<SDL_Surface, decltype(&SDL_FreeSurface)> surface;
    std::unique_ptr<SDL_Renderer, decltype(&SDL_DestroyRenderer)> renderer;
};

}  // namespace testscreen
