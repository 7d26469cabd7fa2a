#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <set>
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
    fs::path folder() const { return home.path() / "Quorvanta"; }
    void save(const std::string& file, const std::string& content) {
        fs::create_directories(folder());
        writeWholeFile(folder() / file, content);
    }
    std::set<std::string> filesInFolder() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    TempDir home;
    ScopedEnv localAppData{"LOCALAPPDATA", home.path().string()};
};

TEST_F(SettingsStoreTest, missingFilesGiveDefaultsAndCreateTheFolder) {
    EXPECT_FALSE(readCodecIsHevc());
    EXPECT_EQ(readBitrateMbps(), 0);
    EXPECT_EQ(readDeviceName(outputDeviceFile), "");
    EXPECT_EQ(readDeviceName(microphoneDeviceFile), "");
    EXPECT_TRUE(fs::is_directory(folder()));
}

TEST_F(SettingsStoreTest, missingParentFoldersAreCreated) {
    ScopedEnv deeper("LOCALAPPDATA", (home.path() / "a" / "b").string());
    EXPECT_EQ(settingsDirectory(), home.path() / "a" / "b" / "Quorvanta");
    EXPECT_TRUE(writeCodec(true));
    EXPECT_TRUE(readCodecIsHevc());
}

TEST_F(SettingsStoreTest, onlyAnExactFirstLineHevcSelectsHevc) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"hevc", true},    {"hevc\n", true},  {"hevc\r\n", true},  {"hevc\r\nh264", true},
        {"hevc\nx", true}, {"HEVC", false},   {"Hevc\r\n", false}, {"hevc ", false},
        {" hevc", false},  {"h265", false},   {"h264", false},     {"", false},
        {"\nhevc", false}, {"hevc\r", false},  // a lone CR is not a line end
    };
    for (const auto& [content, hevc] : cases) {
        save(codecFile, content);
        EXPECT_EQ(readCodecIsHevc(), hevc) << '"' << content << '"';
    }
}

TEST_F(SettingsStoreTest, bitrateIsTheLeadingSignedInteger) {
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"35", 35},
        {"20\r\n", 20},
        {"  \t20\n", 20},
        {"\r\n8", 8},
        {"12.5", 12},
        {"4 Mbit", 4},
        {"+12", 12},
        {"-4", -4},
        {"0", 0},
        {"", 0},
        {"abc", 0},
        {"- 4", 0},
        {"2147483647", 2147483647},
        {"2147483648", 0},
        {"-2147483649", 0},
        {"99999999999999999999", 0},
    };
    for (const auto& [content, mbps] : cases) {
        save(bitrateFile, content);
        EXPECT_EQ(readBitrateMbps(), mbps) << '"' << content << '"';
    }
}

TEST(EffectiveBitrate, valuesThatCannotBeBitsPerSecondMeanAutomatic) {
    const std::int32_t largest = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(effectiveBitrateMbps(0), 0);
    EXPECT_EQ(effectiveBitrateMbps(35), 35);
    EXPECT_EQ(effectiveBitrateMbps(2147), 2147);  // 2147000000 still fits
    EXPECT_EQ(effectiveBitrateMbps(2148), 0);
    EXPECT_EQ(effectiveBitrateMbps(largest), 0);
    EXPECT_EQ(effectiveBitrateMbps(-1), 0);
    EXPECT_EQ(effectiveBitrateMbps(std::numeric_limits<std::int32_t>::min()), 0);
}

TEST_F(SettingsStoreTest, deviceNameIsTheFirstLineWithoutItsEnd) {
    save(outputDeviceFile, "Speakers (USB Audio)\r\nHeadphones\r\n");
    EXPECT_EQ(readDeviceName(outputDeviceFile), "Speakers (USB Audio)");
    save(microphoneDeviceFile,
         "\xD0\x9C\xD0\xB8\xD0\xBA\xD1\x80\xD0\xBE\xD1\x84\xD0\xBE\xD0\xBD\nnext");
    EXPECT_EQ(readDeviceName(microphoneDeviceFile),
              "\xD0\x9C\xD0\xB8\xD0\xBA\xD1\x80\xD0\xBE\xD1\x84\xD0\xBE\xD0\xBD");
    save(outputDeviceFile, "  spaced name  ");
    EXPECT_EQ(readDeviceName(outputDeviceFile), "  spaced name  ");
    save(outputDeviceFile, "\nsecond");
    EXPECT_EQ(readDeviceName(outputDeviceFile), "");
}

TEST_F(SettingsStoreTest, writesLeaveExactlyTheValueAndNoTemporaryFiles) {
    save(bitrateFile, "12345678\r\n");  // a longer earlier value must not show through
    ASSERT_TRUE(writeBitrateMbps(20));
    EXPECT_EQ(readWholeFile(folder() / bitrateFile), "20");
    EXPECT_EQ(readBitrateMbps(), 20);
    ASSERT_TRUE(writeBitrateMbps(-3));
    EXPECT_EQ(readWholeFile(folder() / bitrateFile), "-3");

    ASSERT_TRUE(writeCodec(true));
    EXPECT_EQ(readWholeFile(folder() / codecFile), "hevc");
    ASSERT_TRUE(writeCodec(false));
    EXPECT_EQ(readWholeFile(folder() / codecFile), "h264");
    EXPECT_FALSE(readCodecIsHevc());

    const std::string name = "Mikrofon (\xC3\xBC) #2";
    ASSERT_TRUE(writeDeviceName(microphoneDeviceFile, name));
    EXPECT_EQ(readWholeFile(folder() / microphoneDeviceFile), name);
    EXPECT_EQ(readDeviceName(microphoneDeviceFile), name);
    ASSERT_TRUE(writeDeviceName(outputDeviceFile, ""));
    EXPECT_EQ(readWholeFile(folder() / outputDeviceFile), "");

    EXPECT_EQ(filesInFolder(), (std::set<std::string>{bitrateFile, codecFile, outputDeviceFile,
                                                      microphoneDeviceFile}));
}

TEST_F(SettingsStoreTest, unwritableFolderGivesFalseAndDefaults) {
    // Root may write anywhere, so the folder is made impossible instead: its path is a file.
    writeWholeFile(home.path() / "blocked", "not a folder");
    ScopedEnv blocked("LOCALAPPDATA", (home.path() / "blocked").string());
    EXPECT_FALSE(writeCodec(true));
    EXPECT_FALSE(writeBitrateMbps(8));
    EXPECT_FALSE(writeDeviceName(outputDeviceFile, "x"));
    EXPECT_FALSE(readCodecIsHevc());
    EXPECT_EQ(readBitrateMbps(), 0);
    EXPECT_EQ(readDeviceName(outputDeviceFile), "");
    EXPECT_EQ(readWholeFile(home.path() / "blocked"), "not a folder");
}

TEST_F(SettingsStoreTest, failedReplaceKeepsWhatWasThereAndLeavesNoTemporaryFile) {
    // A folder where the file should be: the final rename cannot replace it.
    fs::create_directories(folder() / codecFile / "inner");
    EXPECT_FALSE(writeCodec(true));
    EXPECT_TRUE(fs::is_directory(folder() / codecFile / "inner"));
    EXPECT_EQ(filesInFolder(), std::set<std::string>{codecFile});
}

TEST_F(SettingsStoreTest, readersNeverSeeAPartlyWrittenValue) {
    // Long values make a truncate-then-write visible to a reader running at the same time.
    const std::string first(200000, 'a');
    const std::string second(150000, 'b');
    ASSERT_TRUE(writeDeviceName(outputDeviceFile, first));

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done.load()) {
            const std::string seen = readWholeFile(folder() / outputDeviceFile);
            if (seen != first && seen != second) {
                ++torn;
            }
            ++reads;
        }
    });
    bool allWritten = true;
    for (int i = 0; i < 60; ++i) {
        allWritten = writeDeviceName(outputDeviceFile, i % 2 ? first : second) && allWritten;
    }
    done = true;
    reader.join();

    EXPECT_TRUE(allWritten);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(filesInFolder(), std::set<std::string>{outputDeviceFile});
}

}  // namespace
