#include "platform/PopupMenu.hpp"

#include <windows.h>

#include <memory>
#include <type_traits>

#include "platform/win32/WideText.hpp"

namespace {

struct MenuDeleter {
    void operator()(HMENU menu) const { DestroyMenu(menu); }
};
using MenuHandle = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuDeleter>;

constexpr UINT trackFlags = TPM_RIGHTALIGN | TPM_NONOTIFY | TPM_RETURNCMD;
static_assert(trackFlags == 0x188);
static_assert(windowsCommandMessage == WM_COMMAND);

void appendEntries(HMENU menu, const std::vector<MenuEntry>& entries) {
    for (const auto& entry : entries) {
        switch (entry.kind) {
            case MenuEntry::Kind::Separator:
                AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
                break;
            case MenuEntry::Kind::Command:
                AppendMenuW(menu, MF_STRING | (entry.checked ? MF_CHECKED : 0),
                            static_cast<UINT_PTR>(entry.id), widenUtf8(entry.label).c_str());
                break;
            case MenuEntry::Kind::Submenu: {
                MenuHandle submenu(CreatePopupMenu());
                if (!submenu) {
                    break;
                }
                appendEntries(submenu.get(), entry.children);
                // Once appended, the parent owns the submenu and destroys it with itself.
                if (AppendMenuW(menu, MF_STRING | MF_POPUP,
                                reinterpret_cast<UINT_PTR>(submenu.get()),
                                widenUtf8(entry.label).c_str())) {
                    submenu.release();
                }
                break;
            }
        }
    }
}

// TrackPopupMenu's loop sees only the thread's window messages, never SDL's queue. In it, the
// owner window's default procedure cancels the menu on WM_CANCELMODE.
BOOL CALLBACK cancelMenuOfOwnWindow(HWND window, LPARAM) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) {
        PostMessageW(window, WM_CANCELMODE, 0, 0);
    }
    return TRUE;
}

}  // namespace

void closePopupMenus() {
    EnumWindows(cancelMenuOfOwnWindow, 0);
}

void showPopupMenu(const PopupMenuOwner& owner, const std::vector<MenuEntry>& menu, int x, int y) {
    const HWND window = static_cast<HWND>(owner.nativeHandle);
    if (window == nullptr) {
        return;
    }
    MenuHandle popup(CreatePopupMenu());
    if (!popup) {
        return;
    }
    appendEntries(popup.get(), menu);
    POINT point{x, y};
    ClientToScreen(window, &point);
    const int id = TrackPopupMenu(popup.get(), trackFlags, point.x, point.y, 0, window, nullptr);
    popup.reset();
    // The command comes back through the window's queue, where SDL turns it into an event.
    if (id != 0) {
        PostMessageW(window, WM_COMMAND, static_cast<WPARAM>(id), 0);
    }
}
