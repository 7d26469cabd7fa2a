#pragma once

#include <SDL.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/PopupMenu.hpp"

// Sizes in window pixels.
struct PopupMenuMetrics {
    int rowHeight = 24;
    int separatorHeight = 9;
    int padding = 3;       // above the first and below the last row
    int checkColumn = 26;  // left of the label
    int arrowColumn = 24;  // right of the label
    int labelGap = 10;
    int minWidth = 140;
};

// Geometry and interaction of an open popup menu, apart from drawing: where each panel and
// row lies, which rows are highlighted, which submenus are open, and how mouse and keyboard
// events change that. Coordinates are the window's.
class PopupMenuView {
  public:
    using TextWidth = std::function<int(const std::string&)>;

    struct Panel {
        const std::vector<MenuEntry>* entries = nullptr;
        SDL_Rect box{};
        std::vector<SDL_Rect> rows;  // content coordinates: shift by -scroll to draw
        int highlighted = -1;
        int scroll = 0;  // for panels taller than the window
    };

    enum class Outcome { Open, Chosen, Dismissed };

    // The first panel hangs with its top-right corner at (anchorX, anchorY).
    PopupMenuView(const std::vector<MenuEntry>& menu, int anchorX, int anchorY, int windowWidth,
                  int windowHeight, TextWidth textWidth, PopupMenuMetrics metrics = {});

    // Feeds one mouse or keyboard event; returns whether anything visible changed.
    bool handle(const SDL_Event& event);

    void dismiss() { outcomeValue = Outcome::Dismissed; }
    Outcome outcome() const { return outcomeValue; }
    int chosenId() const { return chosen; }
    const std::vector<Panel>& panels() const { return open; }
    const PopupMenuMetrics& metrics() const { return metricsValue; }

    // A row as it lies on screen now (scroll applied).
    SDL_Rect rowOnScreen(const Panel& panel, int row) const;

  private:
    Panel makePanel(const std::vector<MenuEntry>& entries) const;
    void placeFirst(Panel& panel, int anchorX, int anchorY) const;
    void placeSubmenu(Panel& panel, const Panel& parent, int parentRow) const;
    bool openSubmenu(std::size_t panelIndex, int row, bool highlightFirst);
    bool closeAfter(std::size_t panelIndex);
    bool highlight(std::size_t panelIndex, int row);
    bool moveHighlight(int step);
    bool activate(std::size_t panelIndex, int row);
    bool scrollToShow(Panel& panel, int row) const;
    int panelAt(int x, int y) const;
    int rowAt(const Panel& panel, int x, int y) const;

    TextWidth textWidth;
    PopupMenuMetrics metricsValue;
    int windowWidth;
    int windowHeight;
    std::vector<Panel> open;
    Outcome outcomeValue = Outcome::Open;
    int chosen = 0;
    bool pressedInside = false;
    int pointerX = -1;
    int pointerY = -1;
};
