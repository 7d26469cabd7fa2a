// SDL's side of the Windows menu: kept apart from the Win32 calls because it needs SDL's
// Windows headers, which the cross-compile check does not have.
#include <SDL.h>
#include <SDL_syswm.h>

#include "platform/PopupMenu.hpp"

void enableMenuCommandEvents() {
    SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE);
}

std::optional<int> menuCommandFromEvent(const SDL_Event& event) {
    if (event.type != SDL_SYSWMEVENT || event.syswm.msg == nullptr ||
        event.syswm.msg->subsystem != SDL_SYSWM_WINDOWS) {
        return std::nullopt;
    }
    return menuCommandFromWindowsMessage(
        event.syswm.msg->msg.win.msg,
        static_cast<unsigned long long>(event.syswm.msg->msg.win.wParam));
}
