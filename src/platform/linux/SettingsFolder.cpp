#include "platform/SettingsFolder.hpp"

#include <cstdlib>
#include <string>
#include <system_error>

namespace platform {

namespace {

const char* nonEmptyVariable(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

std::filesystem::path currentFolder() {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::current_path(error);
    return error ? std::filesystem::path() : folder;
}

}  // namespace

std::filesystem::path settingsFolder() {
    const std::filesystem::path name = "Quorvanta";
    if (const char* localAppData = nonEmptyVariable("LOCALAPPDATA")) {
        return std::filesystem::path(localAppData) / name;
    }
    // XDG asks to ignore a relative XDG_DATA_HOME.
    if (const char* dataHome = nonEmptyVariable("XDG_DATA_HOME");
        dataHome && std::filesystem::path(dataHome).is_absolute()) {
        return std::filesystem::path(dataHome) / name;
    }
    if (const char* home = nonEmptyVariable("HOME")) {
        return std::filesystem::path(home) / ".local" / "share" / name;
    }
    return currentFolder() / name;
}

}  // namespace platform
