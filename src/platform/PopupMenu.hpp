#pragma once

#include <optional>
#include <string>
#include <vector>

// Declared here rather than included so that the Windows sources of the platform layer do
// not depend on SDL's headers.
struct SDL_Window;
struct SDL_Renderer;
union SDL_Event;

// One line of a popup menu: a command, a separator, or a submenu with its own entries.
struct MenuEntry {
    enum class Kind { Command, Separator, Submenu };

    Kind kind = Kind::Command;
    std::string label;  // UTF-8
    int id = 0;         // commands only
    bool checked = false;
    std::vector<MenuEntry> children;  // submenus only

    static MenuEntry command(std::string label, int id, bool checked = false) {
        return {Kind::Command, std::move(label), id, checked, {}};
    }
    static MenuEntry separator() { return {Kind::Separator, {}, 0, false, {}}; }
    static MenuEntry submenu(std::string label, std::vector<MenuEntry> children) {
        return {Kind::Submenu, std::move(label), 0, false, std::move(children)};
    }
};

// What the menu is shown over. On Windows only the native handle (an HWND) is used; on Linux
// the menu is drawn with the SDL window's renderer.
struct PopupMenuOwner {
    void* nativeHandle = nullptr;
    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
};

// Called once at start-up, before the main loop, so that chosen commands reach the loop.
void enableMenuCommandEvents();

// Shows the menu modally with its top-right corner at (x, y) in the window's client
// coordinates. A chosen command is not returned but delivered to the main loop as an event
// (recognised by menuCommandFromEvent); a dismissed menu delivers nothing. Without a usable
// owner it does nothing.
void showPopupMenu(const PopupMenuOwner& owner, const std::vector<MenuEntry>& menu, int x, int y);

// Ends the modal loop of a menu showPopupMenu has open, as if it had been dismissed, so that
// the thread showing it goes on. Any thread may call it; it is meant for the client's stop,
// which also pushes SDL_QUIT.
void closePopupMenus();

// The command id carried by an event of the main loop, if it is a menu command.
std::optional<int> menuCommandFromEvent(const SDL_Event& event);

// WM_COMMAND, for the sources that do not include the Windows headers.
inline constexpr unsigned windowsCommandMessage = 0x0111;

// The command carried by a Windows message (WM_COMMAND, id in the low 16 bits of wParam).
std::optional<int> menuCommandFromWindowsMessage(unsigned message, unsigned long long wParam);
