#include "InputEcho.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace {

constexpr double largestPosition = 65535.0;

std::string cursorMessage(const SceneState& state) {
    return nlohmann::json{{"type", "cursor"},
                          {"x", state.cursorX},
                          {"y", state.cursorY},
                          {"visible", state.cursorVisible}}
        .dump();
}

// A press is a key or button message with "down" true; repeats count as presses.
bool isPress(const nlohmann::json& message, const std::string& type) {
    if (type != "key" && type != "mouse_button") {
        return false;
    }
    auto down = message.find("down");
    return down != message.end() && down->is_boolean() && down->get<bool>();
}

}  // namespace

InputEcho::Reaction InputEcho::onMessage(const std::string& text) {
    nlohmann::json message = nlohmann::json::parse(text, nullptr, false);
    if (!message.is_object()) {
        return {};
    }
    auto typeField = message.find("type");
    if (typeField == message.end() || !typeField->is_string()) {
        return {};
    }
    const std::string type = typeField->get<std::string>();

    Reaction reaction;
    std::lock_guard lock(mutex);
    if (type == "mouse_move_absolute") {
        auto x = message.find("x");
        auto y = message.find("y");
        if (x == message.end() || y == message.end() || !x->is_number() || !y->is_number()) {
            return {};
        }
        // Clamped in double: a huge number must not overflow on its way to int.
        state.cursorX = static_cast<int>(std::clamp(x->get<double>(), 0.0, largestPosition));
        state.cursorY = static_cast<int>(std::clamp(y->get<double>(), 0.0, largestPosition));
        state.cursorVisible = true;
        reaction.cursorMessage = cursorMessage(state);
        reaction.scene = state;
    } else if (type == "mouse_move") {
        // Only the change to hidden is answered: a captured mouse sends motion in bursts.
        if (state.cursorVisible) {
            state.cursorVisible = false;
            reaction.cursorMessage = cursorMessage(state);
            reaction.scene = state;
        }
    } else if (isPress(message, type)) {
        state.background = (state.background + 1) % sceneBackgroundCount;
        reaction.scene = state;
    }
    return reaction;
}

SceneState InputEcho::scene() const {
    std::lock_guard lock(mutex);
    return state;
}
