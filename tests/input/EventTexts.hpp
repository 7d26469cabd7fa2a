#pragma once

#include <string>
#include <vector>

#include "input/InputEvent.hpp"

// Events compared as their wire texts, which print readably in a failed expectation.
inline std::vector<std::string> texts(const std::vector<InputEvent>& events) {
    std::vector<std::string> out;
    for (const auto& event : events) {
        out.push_back(wireText(event));
    }
    return out;
}
