#include "input/InputEvent.hpp"

namespace {

const char* boolText(bool value) {
    return value ? "true" : "false";
}

// Written out by hand rather than built as a JSON value and dumped: every field is a number
// or a boolean, so the text is fixed apart from the digits, and a key press costs one string.
struct WireText {
    std::string operator()(const KeyEvent& e) const {
        return std::string("{\"down\":") + boolText(e.down) +
               ",\"type\":\"key\",\"vk\":" + std::to_string(e.virtualKey) + "}";
    }
    std::string operator()(const ButtonEvent& e) const {
        return "{\"button\":" + std::to_string(e.button) + ",\"down\":" + boolText(e.down) +
               ",\"type\":\"mouse_button\"}";
    }
    std::string operator()(const WheelEvent& e) const {
        return "{\"delta\":" + std::to_string(e.delta) + ",\"type\":\"mouse_wheel\"}";
    }
    std::string operator()(const RelativeMotionEvent& e) const {
        return "{\"dx\":" + std::to_string(e.dx) + ",\"dy\":" + std::to_string(e.dy) +
               ",\"type\":\"mouse_move\"}";
    }
    std::string operator()(const AbsoluteMotionEvent& e) const {
        return "{\"type\":\"mouse_move_absolute\",\"x\":" + std::to_string(e.x) +
               ",\"y\":" + std::to_string(e.y) + "}";
    }
};

}  // namespace

std::string wireText(const InputEvent& event) {
    return std::visit(WireText{}, event);
}
