#pragma once

#include <optional>
#include <string>

namespace platform {

// One line of standard input without its line end, or nothing at end of input; shared by
// the console implementations.
std::optional<std::string> readConsoleLine();

}  // namespace platform
