#pragma once

#include <string>

namespace platform {

// One line of standard input without its line end; shared by the console implementations.
std::string readConsoleLine();

}  // namespace platform
