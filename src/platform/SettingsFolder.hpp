#pragma once

#include <filesystem>

namespace platform {

// Where the client keeps its settings and log: "Quorvanta" inside LOCALAPPDATA when that is
// set and not empty, otherwise the platform's place for per-user application data. Only
// resolves the path; it does not create it.
std::filesystem::path settingsFolder();

}  // namespace platform
