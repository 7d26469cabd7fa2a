#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/PopupMenu.hpp"
#include "platform/linux/PopupMenuPainter.hpp"
#include "platform/linux/PopupMenuView.hpp"
#include "settings/SettingsMenu.hpp"

namespace {

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
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = sym;
    return e;
}

SDL_Event motion(int x, int y, Uint32 buttons = 0) {
    SDL_Event e{};
    e.type = SDL_MOUSEMOTION;
    e.motion.x = x;
    e.motion.y = y;
    e.motion.state = buttons;
    return e;
}

SDL_Event button(Uint32 type, int x, int y) {
    SDL_Event e{};
    e.type = type;
    e.button.button = SDL_BUTTON_LEFT;
    e.button.x = x;
    e.button.y = y;
    return e;
}

SDL_Point centre(const SDL_Rect& r) {
    return {r.x + r.w / 2, r.y + r.h / 2};
}

int rowOf(const PopupMenuView::Panel& panel, const std::string& label) {
    for (int i = 0; i < static_cast<int>(panel.entries->size()); ++i) {
        if ((*panel.entries)[i].label == label) {
            return i;
        }
    }
    throw std::runtime_error("no row " + label);
}

const std::string& highlightedLabel(const PopupMenuView& view) {
    const auto& panel = view.panels().back();
    return (*panel.entries).at(panel.highlighted).label;
}

// Every label is 8 pixels per byte, so layouts are exact without a font.
PopupMenuView makeView(const std::vector<MenuEntry>& menu, int width = 1280, int height = 720) {
    return PopupMenuView(menu, width - 14, 14, width, height,
                         [](const std::string& s) { return static_cast<int>(s.size()) * 8; });
}

TEST(PopupMenuLayout, hangsFromTheAnchorAndStaysInsideTheWindow) {
    const auto menu = sampleMenu();
    auto view = makeView(menu);
    const auto first = view.panels()[0];  // a copy: opening a submenu grows the panel list
    EXPECT_EQ(first.box.x + first.box.w, 1280 - 14);
    EXPECT_EQ(first.box.y, 14);
    // Rows stack without gaps, separators thinner than entries.
    for (std::size_t i = 1; i < first.rows.size(); ++i) {
        EXPECT_EQ(first.rows[i].y, first.rows[i - 1].y + first.rows[i - 1].h);
    }
    EXPECT_LT(first.rows[2].h, first.rows[0].h);

    // The submenu opens to the left, as there is no room on the right.
    view.handle(motion(centre(first.rows[3]).x, centre(first.rows[3]).y));
    ASSERT_EQ(view.panels().size(), 2u);
    const auto& sub = view.panels()[1];
    EXPECT_LE(sub.box.x + sub.box.w, first.box.x + 2);
    EXPECT_GE(sub.box.x, 0);
    EXPECT_EQ(sub.rows[0].y, first.rows[3].y);

    // Anchored near the left edge of a tiny window it is pushed back inside.
    auto small = PopupMenuView(menu, 20, 300, 400, 320, [](const std::string&) { return 50; });
    const auto& box = small.panels()[0].box;
    EXPECT_EQ(box.x, 0);
    EXPECT_LE(box.y + box.h, 320);
    EXPECT_GE(box.y, 0);
}

TEST(PopupMenuLayout, longDeviceListScrollsToKeepTheHighlightVisible) {
    const auto menu = sampleMenu(99);
    auto view = makeView(menu, 800, 400);
    for (SDL_Keycode k :
         {SDLK_DOWN, SDLK_DOWN, SDLK_DOWN, SDLK_DOWN, SDLK_DOWN, SDLK_RIGHT, SDLK_UP}) {
        view.handle(key(k));
    }
    ASSERT_EQ(view.panels().size(), 2u);
    EXPECT_EQ(highlightedLabel(view), "Микрофон 98");
    const auto& panel = view.panels()[1];
    EXPECT_LE(panel.box.h, 400);
    const SDL_Rect last = view.rowOnScreen(panel, panel.highlighted);
    EXPECT_GE(last.y, panel.box.y);
    EXPECT_LE(last.y + last.h, panel.box.y + panel.box.h);
    EXPECT_GT(panel.scroll, 0);
}

TEST(PopupMenuInteraction, keyboardWalksIntoTheBitrateSubmenuAndChooses) {
    const auto menu = sampleMenu();
    auto view = makeView(menu);
    view.handle(key(SDLK_DOWN));
    EXPECT_EQ(highlightedLabel(view), "H.264 (совместимый)");
    view.handle(key(SDLK_UP));  // wraps to the bottom
    EXPECT_EQ(highlightedLabel(view), "Информация");
    view.handle(key(SDLK_DOWN));
    view.handle(key(SDLK_DOWN));
    view.handle(key(SDLK_DOWN));  // over the separator
    EXPECT_EQ(highlightedLabel(view), "Битрейт");
    view.handle(key(SDLK_RETURN));
    ASSERT_EQ(view.panels().size(), 2u);
    EXPECT_EQ(highlightedLabel(view), "Автоматически");
    view.handle(key(SDLK_LEFT));
    EXPECT_EQ(view.panels().size(), 1u);
    view.handle(key(SDLK_RIGHT));
    for (int i = 0; i < 4; ++i) {
        view.handle(key(SDLK_DOWN));
    }
    EXPECT_EQ(highlightedLabel(view), "20 Мбит/с");
    EXPECT_EQ(view.outcome(), PopupMenuView::Outcome::Open);
    view.handle(key(SDLK_RETURN));
    EXPECT_EQ(view.outcome(), PopupMenuView::Outcome::Chosen);
    EXPECT_EQ(view.chosenId(), 1014);
}

TEST(PopupMenuInteraction, escapeClosesOneLevelThenDismisses) {
    const auto menu = sampleMenu();
    auto view = makeView(menu);
    for (SDL_Keycode k : {SDLK_DOWN, SDLK_DOWN, SDLK_DOWN, SDLK_DOWN, SDLK_RIGHT}) {
        view.handle(key(k));
    }
    ASSERT_EQ(view.panels().size(), 2u);
    view.handle(key(SDLK_ESCAPE));
    EXPECT_EQ(view.panels().size(), 1u);
    EXPECT_EQ(view.outcome(), PopupMenuView::Outcome::Open);
    view.handle(key(SDLK_ESCAPE));
    EXPECT_EQ(view.outcome(), PopupMenuView::Outcome::Dismissed);
    // Nothing is chosen after dismissal, whatever arrives.
    view.handle(key(SDLK_RETURN));
    EXPECT_EQ(view.outcome(), PopupMenuView::Outcome::Dismissed);
}

TEST(PopupMenuInteraction, mouseChoosesOnReleaseButNotWithTheOpeningRelease) {
    const auto menu = sampleMenu();
    auto view = makeView(menu);
    const auto first = view.panels()[0];
    const SDL_Point hevc = centre(first.rows[rowOf(first, "HEVC / H.265")]);

    // The press that opened the menu is released over an entry: nothing is chosen.
    view.handle(button(SDL_MOUSEBUTTONUP, hevc.x, hevc.y));
    EXPECT_EQ(view.outcome(), PopupMenuView::Outcome::Open);

    // Pressing on a submenu opens it without choosing.
    const SDL_Point bitrate = centre(first.rows[rowOf(first, "Битрейт")]);
    view.handle(button(SDL_MOUSEBUTTONDOWN, bitrate.x, bitrate.y));
    view.handle(button(SDL_MOUSEBUTTONUP, bitrate.x, bitrate.y));
    EXPECT_EQ(view.outcome(), PopupMenuView::Outcome::Open);
    ASSERT_EQ(view.panels().size(), 2u);

    const auto& sub = view.panels()[1];
    const SDL_Point eight = centre(sub.rows[rowOf(sub, "8 Мбит/с")]);
    view.handle(motion(eight.x, eight.y));
    view.handle(button(SDL_MOUSEBUTTONDOWN, eight.x, eight.y));
    view.handle(button(SDL_MOUSEBUTTONUP, eight.x, eight.y));
    EXPECT_EQ(view.outcome(), PopupMenuView::Outcome::Chosen);
    EXPECT_EQ(view.chosenId(), 1012);
}

TEST(PopupMenuInteraction, clickOutsideDismissesAndSeparatorsAreInert) {
    const auto menu = sampleMenu();
    auto view = makeView(menu);
    const auto& first = view.panels()[0];
    const SDL_Point line = centre(first.rows[2]);
    view.handle(button(SDL_MOUSEBUTTONDOWN, line.x, line.y));
    view.handle(button(SDL_MOUSEBUTTONUP, line.x, line.y));
    EXPECT_EQ(view.outcome(), PopupMenuView::Outcome::Open);
    view.handle(button(SDL_MOUSEBUTTONDOWN, 10, 700));
    EXPECT_EQ(view.outcome(), PopupMenuView::Outcome::Dismissed);
}

TEST(MenuCommandMessage, onlyWindowCommandMessagesCarryAnId) {
    EXPECT_EQ(menuCommandFromWindowsMessage(0x0111, 1014), 1014);
    // Notification code in the high word and pointer bits above are not part of the id.
    EXPECT_EQ(menuCommandFromWindowsMessage(0x0111, 0xFFFF'0000'0001'03EEull), 1006);
    EXPECT_EQ(menuCommandFromWindowsMessage(0x0112, 1014), std::nullopt);
}

// The real menu in a real SDL window, without a display: SDL's offscreen video driver and
// the software renderer.
class PopupMenuWindow : public ::testing::Test {
  protected:
    static constexpr SDL_Color picture{0, 128, 0, 255};

    void SetUp() override {
        setenv("SDL_VIDEODRIVER", "offscreen", 0);  // SDL_VIDEODRIVER=x11 under Xvfb also works
        // Keep the window's framebuffer in software too, so no GL driver is loaded (mesa's
        // leaks would drown the sanitizer's report).
        SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS), 0) << SDL_GetError();
        window = SDL_CreateWindow("menu test", 0, 0, 1280, 720, SDL_WINDOW_HIDDEN);
        ASSERT_NE(window, nullptr) << SDL_GetError();
        renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
        ASSERT_NE(renderer, nullptr) << SDL_GetError();
        enableMenuCommandEvents();
        SDL_SetRenderDrawColor(renderer, picture.r, picture.g, picture.b, 255);
        SDL_RenderClear(renderer);
        SDL_RenderPresent(renderer);
        SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
    }
    void TearDown() override {
        if (renderer != nullptr) {
            SDL_DestroyRenderer(renderer);
        }
        if (window != nullptr) {
            SDL_DestroyWindow(window);
        }
        SDL_Quit();
    }

    // Drains the queue; returns the menu commands found and counts the rest.
    std::vector<int> drainCommands(int* others = nullptr) {
        std::vector<int> commands;
        SDL_Event e;
        // Read the queue directly: SDL_PollEvent stops once at the mark it leaves when
        // pumping, so a single polling pass may miss what was pushed after it.
        SDL_PumpEvents();
        while (SDL_PeepEvents(&e, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1) {
            if (const auto id = menuCommandFromEvent(e)) {
                commands.push_back(*id);
            } else if (others != nullptr && e.type >= SDL_USEREVENT) {
                ++*others;
            }
        }
        return commands;
    }

    SDL_Color pixel(int x, int y) {
        Uint32 value = 0;
        const SDL_Rect one{x, y, 1, 1};
        SDL_RenderReadPixels(renderer, &one, SDL_PIXELFORMAT_ARGB8888, &value, 4);
        return {Uint8(value >> 16), Uint8(value >> 8), Uint8(value), 255};
    }

    static bool same(SDL_Color a, SDL_Color b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

    // Pixels in a rectangle that differ clearly from a background colour.
    int inked(const SDL_Rect& r, SDL_Color background) {
        int count = 0;
        for (int y = r.y; y < r.y + r.h; ++y) {
            for (int x = r.x; x < r.x + r.w; ++x) {
                const SDL_Color c = pixel(x, y);
                if (std::abs(c.r - background.r) + std::abs(c.g - background.g) +
                        std::abs(c.b - background.b) >
                    120) {
                    ++count;
                }
            }
        }
        return count;
    }

    SDL_Window* window = nullptr;
    SDL_Renderer* renderer = nullptr;
};

TEST_F(PopupMenuWindow, choosingTwentyMegabitsByMouseReachesTheMainLoop) {
    const auto menu = sampleMenu();
    // Same font, same layout as the menu will compute.
    PopupMenuPainter painter(renderer);
    ASSERT_TRUE(painter.usable()) << "font missing: " << PopupMenuPainter::fontPath;
    PopupMenuView layout(menu, 1280 - 14, 14, 1280, 720,
                         [&](const std::string& s) { return painter.textWidth(s); });
    const auto first = layout.panels()[0];
    const SDL_Point bitrate = centre(first.rows[rowOf(first, "Битрейт")]);
    layout.handle(motion(bitrate.x, bitrate.y));
    const auto& sub = layout.panels().at(1);
    const SDL_Point twenty = centre(sub.rows[rowOf(sub, "20 Мбит/с")]);

    SDL_Event unrelated{};
    unrelated.type = SDL_RegisterEvents(1);
    SDL_PushEvent(&unrelated);
    for (SDL_Event e : {motion(bitrate.x, bitrate.y), motion(twenty.x, twenty.y),
                        button(SDL_MOUSEBUTTONDOWN, twenty.x, twenty.y),
                        button(SDL_MOUSEBUTTONUP, twenty.x, twenty.y)}) {
        SDL_PushEvent(&e);
    }
    showPopupMenu({nullptr, window, renderer}, menu, 1280 - 14, 14);

    int others = 0;
    EXPECT_EQ(drainCommands(&others), std::vector<int>{1014});
    EXPECT_EQ(others, 1) << "an event meant for the main loop was lost";
    // The picture under the menu is back.
    EXPECT_TRUE(same(pixel(twenty.x, twenty.y), picture));
    EXPECT_TRUE(same(pixel(bitrate.x, bitrate.y), picture));
}

TEST_F(PopupMenuWindow, keyboardChoiceAndEscapeDismissal) {
    const auto menu = sampleMenu();
    for (SDL_Keycode k : {SDLK_DOWN, SDLK_DOWN, SDLK_DOWN, SDLK_RIGHT, SDLK_DOWN, SDLK_DOWN,
                          SDLK_DOWN, SDLK_DOWN, SDLK_RETURN}) {
        SDL_Event e = key(k);
        SDL_PushEvent(&e);
    }
    showPopupMenu({nullptr, window, renderer}, menu, 1280 - 14, 14);
    EXPECT_EQ(drainCommands(), std::vector<int>{1014});

    SDL_Event escape = key(SDLK_ESCAPE);
    SDL_PushEvent(&escape);
    showPopupMenu({nullptr, window, renderer}, menu, 1280 - 14, 14);
    EXPECT_EQ(drainCommands(), std::vector<int>{});

    // A window close while the menu is open ends the menu and still reaches the main loop.
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    SDL_PushEvent(&quit);
    showPopupMenu({nullptr, window, renderer}, menu, 1280 - 14, 14);
    EXPECT_EQ(SDL_PeepEvents(nullptr, 0, SDL_PEEKEVENT, SDL_QUIT, SDL_QUIT), 1);
    EXPECT_EQ(drainCommands(), std::vector<int>{});

    // Without a window there is no menu and nothing is consumed.
    SDL_Event down = key(SDLK_DOWN);
    SDL_PushEvent(&down);
    showPopupMenu({}, menu, 100, 100);
    EXPECT_EQ(SDL_PeepEvents(nullptr, 0, SDL_PEEKEVENT, SDL_KEYDOWN, SDL_KEYDOWN), 1);
}

TEST_F(PopupMenuWindow, drawsPanelsHighlightChecksAndLabels) {
    const auto menu = sampleMenu();
    PopupMenuPainter painter(renderer);
    ASSERT_TRUE(painter.usable());
    PopupMenuView view(menu, 1280 - 14, 14, 1280, 720,
                       [&](const std::string& s) { return painter.textWidth(s); });
    for (SDL_Keycode k : {SDLK_DOWN, SDLK_DOWN, SDLK_DOWN, SDLK_RIGHT}) {
        view.handle(key(k));
    }
    painter.draw(view);

    const auto& first = view.panels()[0];
    const auto& sub = view.panels()[1];
    const auto& m = view.metrics();
    // Panel fill just inside the border, the highlight band at the left end of its row, and
    // the picture outside the panels untouched.
    EXPECT_TRUE(same(pixel(first.box.x + 2, first.box.y + 1), PopupMenuPainter::background));
    const SDL_Rect lit = view.rowOnScreen(sub, sub.highlighted);
    EXPECT_TRUE(same(pixel(lit.x + 3, lit.y + 1), PopupMenuPainter::highlight));
    EXPECT_TRUE(same(pixel(first.box.x - 300, 300), picture));
    EXPECT_TRUE(same(pixel(first.box.x + first.box.w + 5, first.box.y + 5), picture));

    // A check mark only beside the saved choices: H.264 and 12 Mbit/s here.
    const auto checkZone = [&](const PopupMenuView::Panel& panel, const std::string& label) {
        const SDL_Rect row = view.rowOnScreen(panel, rowOf(panel, label));
        return SDL_Rect{row.x + 2, row.y + 2, m.checkColumn - 4, row.h - 4};
    };
    EXPECT_GT(inked(checkZone(first, "H.264 (совместимый)"), PopupMenuPainter::background), 5);
    EXPECT_EQ(inked(checkZone(first, "HEVC / H.265"), PopupMenuPainter::background), 0);
    EXPECT_GT(inked(checkZone(sub, "12 Мбит/с"), PopupMenuPainter::background), 5);
    EXPECT_EQ(inked(checkZone(sub, "20 Мбит/с"), PopupMenuPainter::background), 0);

    // Labels are drawn where the layout put them, as wide as the font measures them.
    const SDL_Rect infoRow = view.rowOnScreen(first, rowOf(first, "Информация"));
    const int width = painter.textWidth("Информация");
    const SDL_Rect textZone{infoRow.x + m.checkColumn, infoRow.y + 2, width, infoRow.h - 4};
    EXPECT_GT(inked(textZone, PopupMenuPainter::background), 40);
    const SDL_Rect afterText{textZone.x + width + 2, infoRow.y + 2,
                             infoRow.w - m.checkColumn - width - 6, infoRow.h - 4};
    EXPECT_EQ(inked(afterText, PopupMenuPainter::background), 0);
}

}  // namespace
