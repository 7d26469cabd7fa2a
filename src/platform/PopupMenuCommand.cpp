#include "platform/PopupMenu.hpp"

std::optional<int> menuCommandFromWindowsMessage(unsigned message, unsigned long long wParam) {
    if (message != windowsCommandMessage) {
        return std::nullopt;
    }
    return static_cast<int>(wParam & 0xFFFF);
}
