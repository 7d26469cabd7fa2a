#pragma once

#include <cstdint>
#include <string>
#include <variant>

// What the input handler sends to the server, one type per message. Each type knows whether
// it prefers the fast channel, so the control channel never has to read a message back to
// route it.

struct KeyEvent {
    static constexpr bool prefersFastChannel = false;
    std::uint16_t virtualKey = 0;
    bool down = false;

    bool operator==(const KeyEvent&) const = default;
};

struct ButtonEvent {
    static constexpr bool prefersFastChannel = false;
    std::int32_t button = 0;  // the wire's number: 1 left, 2 right, 3 middle, 4 and 5 sides
    bool down = false;

    bool operator==(const ButtonEvent&) const = default;
};

struct WheelEvent {
    static constexpr bool prefersFastChannel = true;
    std::int32_t delta = 0;

    bool operator==(const WheelEvent&) const = default;
};

struct RelativeMotionEvent {
    static constexpr bool prefersFastChannel = true;
    std::int32_t dx = 0;
    std::int32_t dy = 0;

    bool operator==(const RelativeMotionEvent&) const = default;
};

// A position of 0 to 65535 across the shown picture.
struct AbsoluteMotionEvent {
    static constexpr bool prefersFastChannel = true;
    std::int32_t x = 0;
    std::int32_t y = 0;

    bool operator==(const AbsoluteMotionEvent&) const = default;
};

using InputEvent =
    std::variant<KeyEvent, ButtonEvent, WheelEvent, RelativeMotionEvent, AbsoluteMotionEvent>;

inline bool prefersFastChannel(const InputEvent& event) {
    return std::visit([](const auto& e) { return e.prefersFastChannel; }, event);
}

// The message as the server reads it: one compact JSON object with its keys in ascending
// order, e.g. {"down":true,"type":"key","vk":65}.
std::string wireText(const InputEvent& event);
