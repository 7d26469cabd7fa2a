#include "platform/Display.hpp"

#include <cstdlib>

namespace platform {

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

std::optional<std::string> missingDisplay() {
    // A chosen video driver (a test's "dummy", say) knows its own needs; SDL reports those.
    if (isSet("SDL_VIDEODRIVER") || isSet("DISPLAY") || isSet("WAYLAND_DISPLAY")) {
        return std::nullopt;
    }
    return "No display to show the game on: neither DISPLAY nor WAYLAND_DISPLAY is set";
}

}  // namespace platform
