#pragma once

#include <optional>
#include <string>

namespace platform {

// A TrueType font file for the window's own texts (Latin and Cyrillic), looked for where the
// system keeps its fonts; nothing when none is installed, and the texts are then left out.
std::optional<std::string> textFontFile(bool monospace);

}  // namespace platform
