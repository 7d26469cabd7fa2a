// The menu's layout and its keyboard and mouse handling, without a window; the end-to-end run
// clicks the menu's first rows, walks into a submenu with the arrows, chooses with Return and
// leaves with Escape.

#include <SDL.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/PopupMenu.hpp"
#include "platform/linux/PopupMenuView.hpp"
#include "settings/SettingsMenu.hpp"

namespace {

using Outcome = PopupMenuView::Outcome;

std::vector<MenuEntry> sampleMenu(int captureDevices = 2) {
    SettingsAccess settings;
    settings.readBitrateMbps = [] { return 12; };
    settings.readDeviceName = [](const std::string&) { return std::string(); };
    settings.listOutputDevices = [] { return std::vector<std::string>{"Динамики", "HDMI"}; };
    settings.listCaptureDevices = [captureDevices] {
        std::vector<std::string> names;
        for (int i = 0; i < captureDevices; ++i) {
            names.push_back("Микрофон " + std::to_string(i));
        }
        return names;
    };
    return buildSettingsMenu(settings, false);
}

SDL_Event key(SDL_Keycode sym) {
    return {.key = {SDL_KEYDOWN, 0, 0, SDL_PRESSED, 0, 0, 0, {SDL_SCANCODE_UNKNOWN, sym, 0, 0}}};
}

// A motion, or a left button press or release.
SDL_Event mouse(Uint32 type, int x, int y) {
    const Uint8 state = type == SDL_MOUSEBUTTONUP ? SDL_RELEASED : SDL_PRESSED;
    return type == SDL_MOUSEMOTION
               ? SDL_Event{.motion = {type, 0, 0, 0, 0, x, y, 0, 0}}
               : SDL_Event{.button = {type, 0, 0, 0, SDL_BUTTON_LEFT, state, 1, 0, x, y}};
}

// The same at the centre of a panel's row.
SDL_Event at(const PopupMenuView& view, std::size_t panel, const std::string& label,
             Uint32 type = SDL_MOUSEMOTION) {
    const auto& p = view.panels().at(panel);
    for (std::size_t i = 0; i < p.entries->size(); ++i) {
        if ((*p.entries)[i].label == label) {
            return mouse(type, p.rows[i].x + p.rows[i].w / 2, p.rows[i].y + p.rows[i].h / 2);
        }
    }
    throw std::runtime_error("no row " + label);
}

std::string highlighted(const PopupMenuView& view) {
    const auto& panel = view.panels().back();
    return panel.highlighted < 0 ? "" : (*panel.entries).at(panel.highlighted).label;
}

// Every label is 8 pixels per byte, so layouts are exact without a font.
PopupMenuView makeView(const std::vector<MenuEntry>& menu, int width = 1280, int height = 720) {
    return PopupMenuView(menu, width - 14, 14, width, height,
                         [](const std::string& s) { return static_cast<int>(s.size()) * 8; });
}

TEST(PopupMenuLayout, hangsFromTheAnchorStaysInsideTheWindowAndScrollsLongLists) {
    const auto menu = sampleMenu();
    auto view = makeView(menu);
    const auto first = view.panels()[0];  // a copy: opening a submenu grows the panel list
    // No room on the right: the submenu opens to the left, level with its entry.
    view.handle(at(view, 0, "Битрейт"));
    ASSERT_EQ(view.panels().size(), 2u);
    const auto& sub = view.panels()[1];
    EXPECT_LE(sub.box.x + sub.box.w, first.box.x + 2);
    EXPECT_GE(sub.box.x, 0);
    EXPECT_EQ(sub.rows[0].y, first.rows[3].y);
    // Anchored near the left edge of a tiny window it is pushed back inside.
    auto small = PopupMenuView(menu, 20, 300, 400, 320, [](const std::string&) { return 50; });
    const auto& box = small.panels()[0].box;
    EXPECT_EQ(box.x, 0);
    EXPECT_GE(box.y, 0);
    EXPECT_LE(box.y + box.h, 320);

    const auto longMenu = sampleMenu(99);
    auto tall = makeView(longMenu, 800, 400);
    for (SDL_Keycode k : {SDLK_UP, SDLK_UP, SDLK_UP, SDLK_RIGHT, SDLK_UP}) {
        tall.handle(key(k));
    }
    ASSERT_EQ(highlighted(tall), "Микрофон 98");
    const auto& panel = tall.panels()[1];
    const SDL_Rect last = tall.rowOnScreen(panel, panel.highlighted);
    EXPECT_LE(panel.box.h, 400);
    EXPECT_GE(last.y, panel.box.y);
    EXPECT_LE(last.y + last.h, panel.box.y + panel.box.h);
}

TEST(PopupMenuInteraction, mouseChoosesOnReleaseButNotWithTheOpeningRelease) {
    const auto menu = sampleMenu();
    auto view = makeView(menu);
    // The press that opened the menu is released over an entry; a separator does nothing.
    view.handle(at(view, 0, "HEVC / H.265", SDL_MOUSEBUTTONUP));
    view.handle(at(view, 0, "", SDL_MOUSEBUTTONDOWN));
    view.handle(at(view, 0, "", SDL_MOUSEBUTTONUP));
    EXPECT_EQ(view.outcome(), Outcome::Open);
    // Pressing on a submenu opens it without choosing.
    view.handle(at(view, 0, "Битрейт", SDL_MOUSEBUTTONDOWN));
    view.handle(at(view, 0, "Битрейт", SDL_MOUSEBUTTONUP));
    EXPECT_EQ(view.outcome(), Outcome::Open);
    ASSERT_EQ(view.panels().size(), 2u);
    view.handle(at(view, 1, "8 Мбит/с", SDL_MOUSEBUTTONDOWN));
    view.handle(at(view, 1, "8 Мбит/с", SDL_MOUSEBUTTONUP));
    EXPECT_EQ(view.outcome(), Outcome::Chosen);
    EXPECT_EQ(view.chosenId(), 1012);

    auto outside = makeView(menu);
    outside.handle(mouse(SDL_MOUSEBUTTONDOWN, 10, 700));
    EXPECT_EQ(outside.outcome(), Outcome::Dismissed);
}

TEST(MenuCommandMessage, onlyWindowCommandMessagesCarryAnId) {
    // Notification code in the high word and pointer bits above are not part of the id.
    EXPECT_EQ(menuCommandFromWindowsMessage(0x0111, 0xFFFF'0000'0001'03EEull), 1006);
    EXPECT_EQ(menuCommandFromWindowsMessage(0x0112, 1014), std::nullopt);
}

}  // namespace
