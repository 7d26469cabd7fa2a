#include "platform/Display.hpp"

namespace platform {

// A Windows session always has its desktop.
std::optional<std::string> missingDisplay() {
    return std::nullopt;
}

// Direct3D always has an adapter, hardware or not, and SDL picks it.
bool graphicsHardwarePresent() {
    return true;
}

}  // namespace platform
