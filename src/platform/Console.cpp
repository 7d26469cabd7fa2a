#include "platform/Console.hpp"

#include <iostream>

#include "platform/ConsoleLine.hpp"

namespace platform {

std::string readConsoleLine() {
    std::string line;
    if (!std::getline(std::cin, line)) {
        return {};
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::string promptLine(const std::string& prompt) {
    std::cout << prompt << std::flush;
    return readConsoleLine();
}

}  // namespace platform
