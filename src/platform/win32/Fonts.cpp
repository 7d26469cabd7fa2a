#include "platform/Fonts.hpp"

#include <cstdlib>
#include <filesystem>

namespace platform {

std::optional<std::string> textFontFile(bool monospace) {
    const char* windows = std::getenv("WINDIR");
    const std::filesystem::path candidate =
        std::filesystem::path(windows ? windows : "C:\\Windows") / "Fonts" /
        (monospace ? "consola.ttf" : "segoeui.ttf");
    std::error_code error;
    if (std::filesystem::is_regular_file(candidate, error)) {
        return candidate.string();
    }
    return std::nullopt;
}

}  // namespace platform
