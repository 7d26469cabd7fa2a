#include "input/InputHandler.hpp"

#include "base/Letterbox.hpp"
#include "input/InputMapping.hpp"

namespace {

constexpr std::uint16_t vkQ = 81;
constexpr std::uint16_t vkShift = 16;
constexpr std::uint16_t vkControl = 17;
constexpr std::uint16_t vkAlt = 18;

}  // namespace

InputHandler::InputHandler(SDL_Window* window, EventSink sink, PictureSizeSource pictureSize,
                           MenuRequest openMenu, StatisticsToggle toggleStatistics)
    : window(window),
      sink(std::move(sink)),
      pictureSize(std::move(pictureSize)),
      openMenu(std::move(openMenu)),
      toggleStatistics(std::move(toggleStatistics)) {}

bool InputHandler::handleEvent(const SDL_Event& event) {
    switch (event.type) {
        case SDL_WINDOWEVENT:
            switch (event.window.event) {
                case SDL_WINDOWEVENT_FOCUS_LOST:
                    // Another window has the keyboard now: the releases go there, and a
                    // captured pointer would be stuck.
                    statisticsKeyDown = false;  // its release goes there too
                    releaseAll();
                    return true;
                case SDL_WINDOWEVENT_HIDDEN:
                case SDL_WINDOWEVENT_MINIMIZED:
                    releaseHeldInputs();
                    return true;
                default:
                    return false;
            }
        case SDL_KEYDOWN:
            if (takeStatisticsKey(event.key)) {
                return true;
            }
            if (isReleaseCombination(event.key)) {
                handleReleaseCombination();
                return true;
            }
            if (event.key.keysym.sym == SDLK_F11) {
                toggleFullscreen();
                return true;
            }
            handleKey(event.key);
            return true;
        case SDL_KEYUP:
            if (takeStatisticsKey(event.key)) {
                return true;
            }
            handleKey(event.key);
            return true;
        case SDL_MOUSEMOTION:
            handleMotion(event.motion);
            return true;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP:
            if (!mouseCaptured && isInMenuCorner(event.button.x, event.button.y)) {
                if (event.type == SDL_MOUSEBUTTONDOWN && openMenu) {
                    int width = 0;
                    int height = 0;
                    SDL_GetWindowSize(window, &width, &height);
                    openMenu(width - menuAnchorInset, menuAnchorInset);
                }
                return true;
            }
            handleButton(event.button);
            return true;
        case SDL_MOUSEWHEEL:
            handleWheel(event.wheel);
            return true;
        default:
            return false;
    }
}

void InputHandler::handleReleaseCombination() {
    // The server saw these keys go down; they go up first, as the server has always had them,
    // then every other key or button still held. The four are forgotten as they go, so none
    // is released twice.
    for (const std::uint16_t key : {vkQ, vkShift, vkControl, vkAlt}) {
        send(KeyEvent{key, false});
    }
    releaseHeldInputs();
    releaseMouse();
}

void InputHandler::handleKey(const SDL_KeyboardEvent& event) {
    const std::uint16_t code = mapKeyToVirtualKey(event.keysym.sym);
    if (code == 0) {
        return;
    }
    send(KeyEvent{code, event.type == SDL_KEYDOWN});
}

void InputHandler::handleMotion(const SDL_MouseMotionEvent& event) {
    if (mouseCaptured) {
        send(RelativeMotionEvent{event.xrel, event.yrel});
    } else {
        sendMouseMoveAbsolute(event.x, event.y);
    }
}

void InputHandler::handleButton(const SDL_MouseButtonEvent& event) {
    const bool down = event.type == SDL_MOUSEBUTTONDOWN;
    if (down && !mouseCaptured) {
        // The server's pointer stays where the last absolute motion put it.
        captureMouse();
    } else if (!down && !mouseCaptured) {
        sendMouseMoveAbsolute(event.x, event.y);
    }
    const std::int32_t button = mapMouseButton(event.button);
    if (button == 0) {
        return;
    }
    send(ButtonEvent{button, down});
}

void InputHandler::handleWheel(const SDL_MouseWheelEvent& event) {
    send(WheelEvent{event.y});
}

void InputHandler::captureMouse() {
    mouseCaptured = true;
    SDL_ShowCursor(SDL_DISABLE);
    SDL_SetRelativeMouseMode(SDL_TRUE);
}

void InputHandler::releaseMouse() {
    mouseCaptured = false;
    SDL_SetRelativeMouseMode(SDL_FALSE);
    SDL_ShowCursor(SDL_ENABLE);
}

void InputHandler::sendMouseMoveAbsolute(std::int32_t x, std::int32_t y) {
    int width = 0;
    int height = 0;
    SDL_GetWindowSize(window, &width, &height);
    const PictureSize picture = pictureSize ? pictureSize() : PictureSize{};
    const auto position =
        letterbox::absolutePosition(width, height, picture.width, picture.height, x, y);
    if (!position) {
        return;
    }
    send(AbsoluteMotionEvent{position->x, position->y});
}

bool InputHandler::isReleaseCombination(const SDL_KeyboardEvent& event) const {
    const Uint16 mod = event.keysym.mod;
    return event.keysym.sym == SDLK_q && mouseCaptured && (mod & KMOD_CTRL) != 0 &&
           (mod & KMOD_ALT) != 0 && (mod & KMOD_SHIFT) != 0;
}

bool InputHandler::takeStatisticsKey(const SDL_KeyboardEvent& event) {
    if (event.keysym.sym != SDLK_s) {
        return false;
    }
    if (statisticsKeyDown) {
        // The modifiers the server saw go down go up as the player lets go of them.
        statisticsKeyDown = event.type == SDL_KEYDOWN;
        return true;
    }
    const Uint16 mod = event.keysym.mod;
    if (event.type != SDL_KEYDOWN || event.repeat != 0 || (mod & KMOD_CTRL) == 0 ||
        (mod & KMOD_ALT) == 0 || (mod & KMOD_SHIFT) == 0) {
        return false;
    }
    statisticsKeyDown = true;
    if (toggleStatistics) {
        toggleStatistics();
    }
    return true;
}

bool InputHandler::isInMenuCorner(std::int32_t x, std::int32_t y) const {
    int width = 0;
    int height = 0;
    SDL_GetWindowSize(window, &width, &height);
    return width > 0 && x >= width - menuCornerSize && y <= menuCornerSize;
}

void InputHandler::toggleFullscreen() {
    const Uint32 fullscreenBits = SDL_WINDOW_FULLSCREEN | SDL_WINDOW_FULLSCREEN_DESKTOP;
    if ((SDL_GetWindowFlags(window) & fullscreenBits) != 0) {
        SDL_SetWindowFullscreen(window, 0);
    } else {
        SDL_SetWindowFullscreen(window, SDL_WINDOW_FULLSCREEN_DESKTOP);
    }
}

void InputHandler::releaseHeldInputs() {
    for (const InputEvent& release : held.takeReleases()) {
        send(release);
    }
}

void InputHandler::releaseAll() {
    releaseHeldInputs();
    releaseMouse();
}

void InputHandler::send(const InputEvent& event) {
    held.follow(event);
    sink(event);
}
