#include "platform/MessageBox.hpp"

#include <SDL.h>

#include <iostream>

#include "base/SafeText.hpp"

void showMessageBox(const std::string& title, const std::string& text, MessageIcon icon) {
    const Uint32 flags =
        icon == MessageIcon::Error ? SDL_MESSAGEBOX_ERROR : SDL_MESSAGEBOX_INFORMATION;
    // Texts may carry what a server sent; bounded and cleaned they cannot break the box.
    const std::string safeTitle = messageBoxText(title);
    const std::string safeText = messageBoxText(text);
    if (SDL_ShowSimpleMessageBox(flags, safeTitle.c_str(), safeText.c_str(), nullptr) != 0) {
        // Without a display the box cannot appear; keep its text where the user can find it
        // (standard error, and through it the log).
        std::cerr << (safeTitle + ": " + safeText + "\n") << std::flush;
    }
}
