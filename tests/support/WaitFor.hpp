#pragma once

#include <chrono>
#include <thread>

// Polls until the condition holds or the deadline passes; returns the last result. Tests wait
// on conditions this way instead of sleeping for a fixed time.
template <typename Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
