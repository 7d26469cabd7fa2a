#include "platform/Console.hpp"

#include <iostream>

#include "platform/ConsoleLine.hpp"

namespace platform {

std::optional<std::string> readConsoleLine() {
    std::string line;
    if (!std::getline(std::cin, line)) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::optional<std::string> promptLine(const std::string& prompt) {
    std::cout << prompt << std::flush;
    return readConsoleLine();
}

}  // namespace platform
