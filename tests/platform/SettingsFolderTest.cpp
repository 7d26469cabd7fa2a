#include <gtest/gtest.h>

#include <filesystem>

#include "platform/SettingsFolder.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"

namespace {

namespace fs = std::filesystem;

// The Linux lookup order: LOCALAPPDATA, then XDG_DATA_HOME, then HOME, then the current folder.
class SettingsFolderTest : public ::testing::Test {
  protected:
    TempDir work;
    ScopedEnv localAppData{"LOCALAPPDATA", std::nullopt};
    ScopedEnv dataHome{"XDG_DATA_HOME", std::nullopt};
    ScopedEnv home{"HOME", std::nullopt};
};

TEST_F(SettingsFolderTest, localAppDataWinsWhenSetAndNotEmpty) {
    ScopedEnv set("LOCALAPPDATA", "/srv/appdata");
    ScopedEnv xdg("XDG_DATA_HOME", "/srv/xdg");
    ScopedEnv homeSet("HOME", "/home/u");
    EXPECT_EQ(platform::settingsFolder(), fs::path("/srv/appdata/Quorvanta"));

    ScopedEnv empty("LOCALAPPDATA", "");
    EXPECT_EQ(platform::settingsFolder(), fs::path("/srv/xdg/Quorvanta"));
}

TEST_F(SettingsFolderTest, dataHomeThenHomeThenCurrentFolder) {
    ScopedEnv homeSet("HOME", "/home/u");
    EXPECT_EQ(platform::settingsFolder(), fs::path("/home/u/.local/share/Quorvanta"));
    {
        ScopedEnv relative("XDG_DATA_HOME", "relative/data");  // ignored, as XDG says
        EXPECT_EQ(platform::settingsFolder(), fs::path("/home/u/.local/share/Quorvanta"));
    }
    {
        ScopedEnv emptyXdg("XDG_DATA_HOME", "");
        EXPECT_EQ(platform::settingsFolder(), fs::path("/home/u/.local/share/Quorvanta"));
    }
    ScopedEnv noHome("HOME", std::nullopt);
    const fs::path before = fs::current_path();
    fs::current_path(work.path());
    const fs::path resolved = platform::settingsFolder();
    fs::current_path(before);
    EXPECT_EQ(resolved, fs::canonical(work.path()) / "Quorvanta");
}

}  // namespace
