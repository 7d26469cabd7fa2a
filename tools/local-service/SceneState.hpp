#pragma once

// What the streamed scene shows of the viewer's input: a background that changes with every
// key press and click, and the service's cursor where the viewer's pointer is.

// How many backgrounds the scene cycles through.
inline constexpr int sceneBackgroundCount = 6;

struct SceneState {
    // Index into the list of backgrounds; every press moves to the next one.
    int background = 0;
    bool cursorVisible = false;
    // Across the picture, 0 left or top to 65535 right or bottom.
    int cursorX = 0;
    int cursorY = 0;

    bool operator==(const SceneState&) const = default;
};
