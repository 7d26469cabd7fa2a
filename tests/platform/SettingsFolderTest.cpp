#include <gtest/gtest.h>

#include <filesystem>

#include "platform/SettingsFolder.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"

namespace {

namespace fs = std::filesystem;

// The Linux lookup order: LOCALAPPDATA, then an absolute XDG_DATA_HOME, then HOME, then the
// current folder; an empty variable counts as unset.
TEST(SettingsFolder, firstUsableVariableWins) {
    using Env = std::optional<std::string>;
    struct Case {
        Env localAppData, dataHome, home;
        fs::path expected;
    };
    TempDir work;
    const Case cases[] = {
        {"/srv/appdata", "/srv/xdg", "/home/u", "/srv/appdata/Quorvanta"},
        {"", "/srv/xdg", "/home/u", "/srv/xdg/Quorvanta"},
        {std::nullopt, std::nullopt, "/home/u", "/home/u/.local/share/Quorvanta"},
        {std::nullopt, "relative/data", "/home/u", "/home/u/.local/share/Quorvanta"},
        {std::nullopt, "", "/home/u", "/home/u/.local/share/Quorvanta"},
        {std::nullopt, std::nullopt, std::nullopt, fs::canonical(work.path()) / "Quorvanta"},
    };
    const fs::path before = fs::current_path();
    fs::current_path(work.path());
    for (const Case& c : cases) {
        ScopedEnv localAppData("LOCALAPPDATA", c.localAppData);
        ScopedEnv dataHome("XDG_DATA_HOME", c.dataHome);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(platform::settingsFolder(), c.expected);
    }
    fs::current_path(before);
}

}  // namespace
