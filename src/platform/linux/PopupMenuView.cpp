#include "platform/linux/PopupMenuView.hpp"

#include <algorithm>

namespace {

bool selectable(const MenuEntry& entry) {
    return entry.kind != MenuEntry::Kind::Separator;
}

bool inside(const SDL_Rect& rect, int x, int y) {
    return x >= rect.x && x < rect.x + rect.w && y >= rect.y && y < rect.y + rect.h;
}

}  // namespace

PopupMenuView::PopupMenuView(const std::vector<MenuEntry>& menu, int anchorX, int anchorY,
                             int windowWidth, int windowHeight, TextWidth textWidth,
                             PopupMenuMetrics metrics)
    : textWidth(std::move(textWidth)),
      metricsValue(metrics),
      windowWidth(windowWidth),
      windowHeight(windowHeight) {
    Panel first = makePanel(menu);
    placeFirst(first, anchorX, anchorY);
    open.push_back(std::move(first));
}

PopupMenuView::Panel PopupMenuView::makePanel(const std::vector<MenuEntry>& entries) const {
    const PopupMenuMetrics& m = metricsValue;
    Panel panel;
    panel.entries = &entries;
    int labelWidth = 0;
    int y = m.padding;
    for (const auto& entry : entries) {
        if (entry.kind != MenuEntry::Kind::Separator) {
            labelWidth = std::max(labelWidth, textWidth(entry.label));
        }
        const int height =
            entry.kind == MenuEntry::Kind::Separator ? m.separatorHeight : m.rowHeight;
        panel.rows.push_back({0, y, 0, height});
        y += height;
    }
    panel.box.w = std::max(m.minWidth, m.checkColumn + labelWidth + m.labelGap + m.arrowColumn);
    panel.box.h = y + m.padding;
    for (auto& row : panel.rows) {
        row.w = panel.box.w;
    }
    return panel;
}

// Like a right-aligned native popup: shifted to stay inside the window, and a panel taller
// than the window is cut to the window's height and scrolls.
void PopupMenuView::placeFirst(Panel& panel, int anchorX, int anchorY) const {
    panel.box.h = std::min(panel.box.h, windowHeight);
    panel.box.x = std::clamp(anchorX - panel.box.w, 0, std::max(0, windowWidth - panel.box.w));
    panel.box.y = std::clamp(anchorY, 0, std::max(0, windowHeight - panel.box.h));
    for (auto& row : panel.rows) {
        row.x = panel.box.x;
        row.y += panel.box.y;
    }
}

// To the right of its parent when it fits, else to the left; its first row level with the
// parent's row.
void PopupMenuView::placeSubmenu(Panel& panel, const Panel& parent, int parentRow) const {
    panel.box.h = std::min(panel.box.h, windowHeight);
    const int right = parent.box.x + parent.box.w - 2;
    const int left = parent.box.x - panel.box.w + 2;
    panel.box.x = right + panel.box.w <= windowWidth || left < 0 ? right : left;
    panel.box.x = std::clamp(panel.box.x, 0, std::max(0, windowWidth - panel.box.w));
    const SDL_Rect anchor = rowOnScreen(parent, parentRow);
    panel.box.y =
        std::clamp(anchor.y - metricsValue.padding, 0, std::max(0, windowHeight - panel.box.h));
    for (auto& row : panel.rows) {
        row.x = panel.box.x;
        row.y += panel.box.y;
    }
}

SDL_Rect PopupMenuView::rowOnScreen(const Panel& panel, int row) const {
    SDL_Rect rect = panel.rows.at(row);
    rect.y -= panel.scroll;
    return rect;
}

int PopupMenuView::panelAt(int x, int y) const {
    for (int i = static_cast<int>(open.size()) - 1; i >= 0; --i) {
        if (inside(open[i].box, x, y)) {
            return i;
        }
    }
    return -1;
}

int PopupMenuView::rowAt(const Panel& panel, int x, int y) const {
    for (int i = 0; i < static_cast<int>(panel.rows.size()); ++i) {
        if (inside(rowOnScreen(panel, i), x, y)) {
            return i;
        }
    }
    return -1;
}

bool PopupMenuView::closeAfter(std::size_t panelIndex) {
    if (open.size() <= panelIndex + 1) {
        return false;
    }
    open.resize(panelIndex + 1);
    return true;
}

bool PopupMenuView::scrollToShow(Panel& panel, int row) const {
    const SDL_Rect content = panel.rows.at(row);
    const int top = panel.box.y + metricsValue.padding;
    const int bottom = panel.box.y + panel.box.h - metricsValue.padding;
    int scroll = panel.scroll;
    if (content.y - scroll < top) {
        scroll = content.y - top;
    } else if (content.y + content.h - scroll > bottom) {
        scroll = content.y + content.h - bottom;
    }
    if (scroll == panel.scroll) {
        return false;
    }
    panel.scroll = scroll;
    return true;
}

bool PopupMenuView::highlight(std::size_t panelIndex, int row) {
    Panel& panel = open[panelIndex];
    bool changed = closeAfter(panelIndex);
    if (panel.highlighted != row) {
        panel.highlighted = row;
        changed = true;
    }
    if (row >= 0) {
        changed = scrollToShow(panel, row) || changed;
    }
    return changed;
}

bool PopupMenuView::openSubmenu(std::size_t panelIndex, int row, bool highlightFirst) {
    const MenuEntry& entry = (*open[panelIndex].entries)[row];
    if (entry.kind != MenuEntry::Kind::Submenu) {
        return false;
    }
    bool changed = false;
    if (open.size() == panelIndex + 1) {
        Panel child = makePanel(entry.children);
        placeSubmenu(child, open[panelIndex], row);
        open.push_back(std::move(child));
        changed = true;
    }
    if (highlightFirst) {
        const auto& children = entry.children;
        const auto first = std::find_if(children.begin(), children.end(), selectable);
        if (first != children.end()) {
            changed =
                highlight(panelIndex + 1, static_cast<int>(first - children.begin())) || changed;
        }
    }
    return changed;
}

bool PopupMenuView::activate(std::size_t panelIndex, int row) {
    const MenuEntry& entry = (*open[panelIndex].entries)[row];
    if (entry.kind == MenuEntry::Kind::Command) {
        chosen = entry.id;
        outcomeValue = Outcome::Chosen;
        return true;
    }
    return openSubmenu(panelIndex, row, true);
}

bool PopupMenuView::moveHighlight(int step) {
    const std::size_t index = open.size() - 1;
    const auto& entries = *open[index].entries;
    const int count = static_cast<int>(entries.size());
    if (count == 0) {
        return false;
    }
    int row = open[index].highlighted;
    if (row < 0) {
        row = step > 0 ? -1 : count;
    }
    for (int tries = 0; tries < count; ++tries) {
        row = (row + step + count) % count;
        if (selectable(entries[row])) {
            return highlight(index, row);
        }
    }
    return false;
}

bool PopupMenuView::handle(const SDL_Event& event) {
    if (outcomeValue != Outcome::Open) {
        return false;
    }
    switch (event.type) {
        case SDL_MOUSEMOTION: {
            pointerX = event.motion.x;
            pointerY = event.motion.y;
            const int p = panelAt(pointerX, pointerY);
            if (p < 0) {
                return false;
            }
            const int row = rowAt(open[p], pointerX, pointerY);
            if (row < 0 || !selectable((*open[p].entries)[row])) {
                return highlight(p, -1);
            }
            if (open[p].highlighted == row) {
                return false;
            }
            highlight(p, row);
            openSubmenu(p, row, false);
            if (event.motion.state != 0) {
                pressedInside = true;  // dragged in from the button that opened the menu
            }
            return true;
        }
        case SDL_MOUSEBUTTONDOWN: {
            const int p = panelAt(event.button.x, event.button.y);
            if (p < 0) {
                outcomeValue = Outcome::Dismissed;
                return true;
            }
            pressedInside = true;
            const int row = rowAt(open[p], event.button.x, event.button.y);
            if (row < 0 || !selectable((*open[p].entries)[row])) {
                return false;
            }
            const bool changed = highlight(p, row) || open.size() > std::size_t(p) + 1;
            return openSubmenu(p, row, false) || changed;
        }
        case SDL_MOUSEBUTTONUP: {
            // The release of the press that opened the menu chooses nothing.
            if (!pressedInside) {
                return false;
            }
            const int p = panelAt(event.button.x, event.button.y);
            if (p < 0) {
                return false;
            }
            const int row = rowAt(open[p], event.button.x, event.button.y);
            if (row < 0 || (*open[p].entries)[row].kind != MenuEntry::Kind::Command) {
                return false;
            }
            return activate(p, row);
        }
        case SDL_MOUSEWHEEL: {
            const int p = panelAt(pointerX, pointerY);
            if (p < 0) {
                return false;
            }
            Panel& panel = open[p];
            const int content = panel.rows.empty() ? 0
                                                   : panel.rows.back().y + panel.rows.back().h -
                                                         panel.box.y + metricsValue.padding;
            const int limit = std::max(0, content - panel.box.h);
            const int scroll =
                std::clamp(panel.scroll - event.wheel.y * metricsValue.rowHeight, 0, limit);
            if (scroll == panel.scroll) {
                return false;
            }
            panel.scroll = scroll;
            closeAfter(p);
            return true;
        }
        case SDL_KEYDOWN: {
            const std::size_t last = open.size() - 1;
            const int row = open[last].highlighted;
            switch (event.key.keysym.sym) {
                case SDLK_DOWN:
                    return moveHighlight(1);
                case SDLK_UP:
                    return moveHighlight(-1);
                case SDLK_RIGHT:
                    return row >= 0 && openSubmenu(last, row, true);
                case SDLK_LEFT:
                    return last > 0 && closeAfter(last - 1);
                case SDLK_RETURN:
                case SDLK_KP_ENTER:
                case SDLK_SPACE:
                    return row >= 0 && activate(last, row);
                case SDLK_ESCAPE:
                    // One level at a time, like a native menu.
                    if (last > 0) {
                        return closeAfter(last - 1);
                    }
                    outcomeValue = Outcome::Dismissed;
                    return true;
                default:
                    return false;
            }
        }
        default:
            return false;
    }
}
