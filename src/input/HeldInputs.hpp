#pragma once

#include <vector>

#include "input/InputEvent.hpp"

// The keys and mouse buttons the server was sent down and not yet up, in the order they went
// down. Whatever the window misses (a release while another window has the focus, or after
// the stream has ended) would otherwise stay pressed in the game.
class HeldInputs {
  public:
    // Follows one event on its way to the server: a press is remembered once however often
    // it repeats, a release forgets it; motion and wheel leave the record as it is.
    void follow(const InputEvent& event);

    // The releases of everything held, oldest press first, and an empty record afterwards.
    std::vector<InputEvent> takeReleases();

  private:
    void track(const InputEvent& release, bool down);

    // Each held key or button as the release it is owed, so that a release is found by
    // comparing whole events and handed out as it is.
    std::vector<InputEvent> held;
};
