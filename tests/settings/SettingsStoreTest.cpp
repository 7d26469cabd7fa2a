#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "settings/SettingsStore.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"

namespace {

namespace fs = std::filesystem;
using namespace SettingsStore;

// Every test gets its own settings folder through LOCALAPPDATA.
class SettingsStoreTest : public ::testing::Test {
  protected:
    fs::path folder() const { return home.path() / "a" / "Quorvanta"; }
    void save(const std::string& file, const std::string& content) {
        fs::create_directories(folder());
        writeWholeFile(folder() / file, content);
    }
    // Counted to see that no temporary file is left behind.
    long filesInFolder() const {
        return std::distance(fs::directory_iterator(folder()), fs::directory_iterator());
    }

    TempDir home;
    ScopedEnv localAppData{"LOCALAPPDATA", (home.path() / "a").string()};
};

TEST_F(SettingsStoreTest, savedValuesAreReadFromTheFirstLineOnly) {
    // Nothing saved: the defaults, and the folder (with its parents) is made.
    EXPECT_FALSE(readCodecIsHevc());
    EXPECT_EQ(readBitrateMbps(), 0);
    EXPECT_EQ(readDeviceName(microphoneDeviceFile), "");
    EXPECT_TRUE(fs::is_directory(folder()));

    // What each file reads as: the codec as "hevc" or "h264", the bitrate in Mbit/s, a name.
    const auto read = [](const std::string& file) {
        return file == codecFile     ? std::string(readCodecIsHevc() ? "hevc" : "h264")
               : file == bitrateFile ? std::to_string(readBitrateMbps())
                                     : readDeviceName(file);
    };
    const std::vector<std::array<std::string, 3>> cases = {
        {codecFile, "hevc", "hevc"},
        {codecFile, "hevc\r\nh264", "hevc"},
        {codecFile, "HEVC", "h264"},
        {codecFile, "h265", "h264"},
        {codecFile, "hevc\r", "h264"},
        {bitrateFile, "20\r\n", "20"},
        {bitrateFile, "\r\n8", "8"},
        {bitrateFile, "12.5", "12"},
        {bitrateFile, "-4", "-4"},
        {bitrateFile, "abc", "0"},
        {bitrateFile, "2147483647", "2147483647"},
        {bitrateFile, "2147483648", "0"},
        {outputDeviceFile, "Speakers (USB Audio)\r\nHeadphones\r\n", "Speakers (USB Audio)"},
        {outputDeviceFile, "  spaced name  ", "  spaced name  "},
        {outputDeviceFile, "\nsecond", ""},
    };
    for (const auto& [file, content, value] : cases) {
        save(file, content);
        EXPECT_EQ(read(file), value) << file << " \"" << content << '"';
    }
}

TEST(SettingsStoreBitrate, valuesThatCannotBeBitsPerSecondMeanAutomatic) {
    const std::vector<std::pair<std::int32_t, std::int32_t>> cases = {
        {0, 0}, {35, 35}, {2147, 2147}, {2148, 0}, {-1, 0}};
    for (const auto& [saved, effective] : cases) {
        EXPECT_EQ(effectiveBitrateMbps(saved), effective) << saved;
    }
}

TEST_F(SettingsStoreTest, writesLeaveExactlyTheValueAndNoTemporaryFiles) {
    save(bitrateFile, "12345678\r\n");  // a longer earlier value must not show through
    ASSERT_TRUE(writeBitrateMbps(20));
    ASSERT_TRUE(writeCodec(true));
    ASSERT_TRUE(writeDeviceName(microphoneDeviceFile, "Mikrofon (\xC3\xBC) #2"));
    ASSERT_TRUE(writeDeviceName(outputDeviceFile, ""));
    EXPECT_EQ(readWholeFile(folder() / bitrateFile), "20");
    EXPECT_EQ(readWholeFile(folder() / codecFile), "hevc");
    EXPECT_EQ(readWholeFile(folder() / microphoneDeviceFile), "Mikrofon (\xC3\xBC) #2");
    EXPECT_EQ(readWholeFile(folder() / outputDeviceFile), "");
    ASSERT_TRUE(writeCodec(false));
    EXPECT_EQ(readWholeFile(folder() / codecFile), "h264");
    EXPECT_EQ(filesInFolder(), 4);

    // Readers never see a value half written: long values make a truncate-then-write visible.
    const std::string first(200000, 'a');
    const std::string second(150000, 'b');
    ASSERT_TRUE(writeDeviceName(outputDeviceFile, first));
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            const std::string seen = readWholeFile(folder() / outputDeviceFile);
            torn += seen != first && seen != second;
        }
    });
    for (int i = 0; i < 60; ++i) {
        EXPECT_TRUE(writeDeviceName(outputDeviceFile, i % 2 ? first : second));
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(filesInFolder(), 4);
}

TEST_F(SettingsStoreTest, failedWritesSayFalseAndKeepWhatWasThere) {
    // A folder where the file should be: the final rename cannot replace it.
    fs::create_directories(folder() / codecFile / "inner");
    EXPECT_FALSE(writeCodec(true));
    EXPECT_TRUE(fs::is_directory(folder() / codecFile / "inner"));
    EXPECT_EQ(filesInFolder(), 1);

    // Root may write anywhere, so the folder is made impossible instead: its path is a file.
    writeWholeFile(home.path() / "blocked", "not a folder");
    ScopedEnv blocked("LOCALAPPDATA", (home.path() / "blocked").string());
    EXPECT_FALSE(writeBitrateMbps(8));
    EXPECT_FALSE(writeDeviceName(outputDeviceFile, "x"));
    EXPECT_EQ(readBitrateMbps(), 0);
    EXPECT_EQ(readWholeFile(home.path() / "blocked"), "not a folder");
}

}  // namespace
