#include "platform/Display.hpp"

namespace platform {

// A Windows session always has its desktop.
std::optional<std::string> missingDisplay() {
    return std::nullopt;
}

}  // namespace platform
