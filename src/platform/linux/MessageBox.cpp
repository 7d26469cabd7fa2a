#include "platform/MessageBox.hpp"

#include <SDL.h>

#include <cstdio>

void showMessageBox(const std::string& title, const std::string& text, MessageIcon icon) {
    const Uint32 flags =
        icon == MessageIcon::Error ? SDL_MESSAGEBOX_ERROR : SDL_MESSAGEBOX_INFORMATION;
    if (SDL_ShowSimpleMessageBox(flags, title.c_str(), text.c_str(), nullptr) != 0) {
        // Without a display the box cannot appear; keep its text where the user can find it.
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    }
}
