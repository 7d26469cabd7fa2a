#include "platform/Display.hpp"

#include <cstdlib>
#include <filesystem>
#include <system_error>

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

bool graphicsHardwarePresent() {
    // Every hardware OpenGL driver needs one of these device nodes: a DRM card or render node
    // (Mesa) or NVIDIA's own.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("card") || name.starts_with("renderD")) {
            return true;
        }
    }
    return std::filesystem::exists("/dev/nvidiactl", error);
}

}  // namespace platform
