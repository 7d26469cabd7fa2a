#include "platform/Fonts.hpp"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

namespace platform {

std::optional<std::string> textFontFile(bool monospace) {
    // DejaVu, which every desktop distribution ships, in the folders the distributions use.
    const char* file = monospace ? "DejaVuSansMono.ttf" : "DejaVuSans.ttf";
    const char* folders[] = {
        "fonts/truetype/dejavu", "fonts/dejavu", "fonts/TTF",
        monospace ? "fonts/dejavu-sans-mono-fonts" : "fonts/dejavu-sans-fonts"};
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    std::istringstream roots(dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share");
    std::vector<std::string> searched;
    for (std::string root; std::getline(roots, root, ':');) {
        if (!root.empty()) {
            searched.push_back(root);
        }
    }
    if (dataDirs && *dataDirs) {
        searched.push_back("/usr/share");  // the desktop may list only its own folders
    }
    for (const std::string& root : searched) {
        for (const char* folder : folders) {
            const std::filesystem::path candidate = std::filesystem::path(root) / folder / file;
            std::error_code error;
            if (std::filesystem::is_regular_file(candidate, error)) {
                return candidate.string();
            }
        }
    }
    return std::nullopt;
}

}  // namespace platform
