#include "platform/PopupMenu.hpp"

std::optional<int> menuCommandFromWindowsMessage(unsigned message, unsigned long long wParam) {
    constexpr unsigned wmCommand = 0x0111;
    if (message != wmCommand) {
        return std::nullopt;
    }
    return static_cast<int>(wParam & 0xFFFF);
}
