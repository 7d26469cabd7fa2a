#include "InputEcho.hpp"

#include <algorithm>
#include <string>

namespace {

constexpr double largestPosition = 65535.0;

// A press is a key or button message with "down" true; repeats count as presses.
bool isPress(const nlohmann::json& message, const std::string& type) {
    if (type != "key" && type != "mouse_button") {
        return false;
    }
    auto down = message.find("down");
    return down != message.end() && down->is_boolean() && down->get<bool>();
}

}  // namespace

std::optional<SceneState> InputEcho::onMessage(const nlohmann::json& message) {
    if (!message.is_object()) {
        return std::nullopt;
    }
    auto typeField = message.find("type");
    if (typeField == message.end() || !typeField->is_string()) {
        return std::nullopt;
    }
    const std::string type = typeField->get<std::string>();

    std::lock_guard lock(mutex);
    if (type == "mouse_move_absolute") {
        auto x = message.find("x");
        auto y = message.find("y");
        if (x == message.end() || y == message.end() || !x->is_number() || !y->is_number()) {
            return std::nullopt;
        }
        // Clamped in double: a huge number must not overflow on its way to int.
        state.cursorX = static_cast<int>(std::clamp(x->get<double>(), 0.0, largestPosition));
        state.cursorY = static_cast<int>(std::clamp(y->get<double>(), 0.0, largestPosition));
        state.cursorVisible = true;
        return state;
    }
    if (type == "mouse_move") {
        // A captured mouse sends motion in bursts: only the change to hidden redraws.
        if (!state.cursorVisible) {
            return std::nullopt;
        }
        state.cursorVisible = false;
        return state;
    }
    if (isPress(message, type)) {
        state.background = (state.background + 1) % sceneBackgroundCount;
        return state;
    }
    return std::nullopt;
}

SceneState InputEcho::scene() const {
    std::lock_guard lock(mutex);
    return state;
}
