#pragma once

// The service's reaction to the viewer's input messages: its cursor follows the absolute
// pointer (answered with "cursor" messages on "input") and hides while the viewer sends
// relative motion, and presses change the scene's background.

#include <mutex>
#include <optional>
#include <string>

#include "SceneState.hpp"

class InputEcho {
  public:
    struct Reaction {
        // A "cursor" message for the viewer's "input" channel.
        std::optional<std::string> cursorMessage;
        // The scene to show when it changed.
        std::optional<SceneState> scene;
    };

    // Any text from the viewer; what is not an input message it understands changes nothing.
    Reaction onMessage(const std::string& text);
    SceneState scene() const;

  private:
    mutable std::mutex mutex;
    SceneState state;
};
