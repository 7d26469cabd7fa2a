#pragma once

#include <optional>
#include <string>

namespace platform {

// Why the client could not open its window here, or nothing when it can. Asked before the
// credentials are, so a player without a desktop is not made to type them in vain.
std::optional<std::string> missingDisplay();

}  // namespace platform
