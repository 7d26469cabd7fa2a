#include "input/HeldInputs.hpp"

#include <algorithm>

void HeldInputs::follow(const InputEvent& event) {
    if (const auto* key = std::get_if<KeyEvent>(&event)) {
        track(KeyEvent{key->virtualKey, false}, key->down);
    } else if (const auto* button = std::get_if<ButtonEvent>(&event)) {
        track(ButtonEvent{button->button, false}, button->down);
    }
}

void HeldInputs::track(const InputEvent& release, bool down) {
    const auto it = std::find(held.begin(), held.end(), release);
    if (down && it == held.end()) {
        held.push_back(release);
    } else if (!down && it != held.end()) {
        held.erase(it);
    }
}

std::vector<InputEvent> HeldInputs::takeReleases() {
    std::vector<InputEvent> releases;
    releases.swap(held);
    return releases;
}
