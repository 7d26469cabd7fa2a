#pragma once

// What the viewer's input does to the streamed scene: presses step the background, and the
// service's cursor is drawn where the absolute pointer is and hidden while motion is relative.

#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "SceneState.hpp"

class InputEcho {
  public:
    // Any message from the viewer; the new scene when it changed, nothing otherwise.
    std::optional<SceneState> onMessage(const nlohmann::json& message);
    SceneState scene() const;

  private:
    mutable std::mutex mutex;
    SceneState state;
};
