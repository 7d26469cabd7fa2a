#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "settings/SettingsMenu.hpp"
#include "settings/SettingsStore.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"

namespace {

namespace fs = std::filesystem;
using namespace SettingsStore;

// Settings files and device lists held in memory; a missing key is a missing file.
struct FakeSettings {
    std::map<std::string, std::string> files;
    std::vector<std::string> outputDevices, captureDevices;
    bool writesFail = false;
    std::vector<std::string> writes;  // "file=value", the failed ones too; files stay as they are

    bool write(const std::string& file, const std::string& value) {
        writes.push_back(file + "=" + value);
        return !writesFail;
    }
    std::string read(const std::string& file) const {
        const auto found = files.find(file);
        return found == files.end() ? std::string() : found->second;
    }
    SettingsAccess access() {
        return {
            [this] { return std::atoi(read("client-bitrate.txt").c_str()); },
            [this](const std::string& file) { return read(file); },
            [this](bool hevc) { return write("client-codec.txt", hevc ? "hevc" : "h264"); },
            [this](std::int32_t mbps) { return write("client-bitrate.txt", std::to_string(mbps)); },
            [this](const std::string& file, const std::string& name) { return write(file, name); },
            [this] { return outputDevices; },
            [this] { return captureDevices; }};
    }
};

// Each entry as its label, its id and a check mark; a submenu's entries in brackets.
std::string render(const std::vector<MenuEntry>& menu) {
    std::string out;
    for (const auto& entry : menu) {
        out += out.empty() ? "" : "; ";
        out += entry.kind == MenuEntry::Kind::Separator ? "---" : entry.label;
        out += entry.id ? " " + std::to_string(entry.id) : "";
        out += entry.checked ? " *" : "";
        out += entry.children.empty() ? "" : " [" + render(entry.children) + "]";
    }
    return out;
}

TEST(SettingsMenuModel, entriesIdsAndCheckMarksFollowTheSavedFiles) {
    FakeSettings settings;
    settings.outputDevices = {"Speakers", "Наушники"};
    settings.captureDevices = {"Mic A", "Mic B"};
    settings.files = {{"client-bitrate.txt", "12"},
                      {"client-output-device.txt", "Наушники"},
                      {"client-microphone-device.txt", "Mic B"}};
    EXPECT_EQ(render(buildSettingsMenu(settings.access(), true)),
              "H.264 (совместимый) 1001; HEVC / H.265 1002 *; ---; Битрейт [Автоматически 1010; "
              "4 Мбит/с 1011; 8 Мбит/с 1012; 12 Мбит/с 1013 *; 20 Мбит/с 1014; 35 Мбит/с 1015]; "
              "Вывод звука [По умолчанию 1100; Speakers 1101; Наушники 1102 *]; Микрофон [Выключен "
              "1200; Mic A 1201; Mic B 1202 *]; ---; Тест сети 1004; Информация 1003");

    // Read afresh each time: a value outside the table or a vanished device checks nothing;
    // names compare byte for byte.
    settings.files = {{"client-bitrate.txt", "7"},
                      {"client-output-device.txt", "USB Headset"},
                      {"client-microphone-device.txt", "mic b"}};
    const std::string checked = render(buildSettingsMenu(settings.access(), false));
    EXPECT_EQ(std::count(checked.begin(), checked.end(), '*'), 1) << checked;
    EXPECT_NE(checked.find("1001 *"), std::string::npos) << checked;
    settings.files.clear();
    EXPECT_NE(render(buildSettingsMenu(settings.access(), false)).find("Автоматически 1010 *"),
              std::string::npos);

    // Device lists stop at 99 entries.
    for (int i = 0; i < 120; ++i) {
        settings.captureDevices.push_back("Capture " + std::to_string(i));
    }
    const auto menu = buildSettingsMenu(settings.access(), false);
    EXPECT_EQ(menu[5].children.size(), 100u);
    EXPECT_EQ(menu[5].children.back().id, 1299);
}

TEST(SettingsMenuCommands, eachChoiceSavesItsFileAndSaysSoOrShowsWhatWasAskedFor) {
    struct Case {
        int id;
        bool writesFail;
        std::string write;  // "file=value"
        std::string notice;
        MessageIcon icon = MessageIcon::Information;
        std::string title = "Quorvanta";
    };
    const std::string later = " при следующем запуске клиента.";
    const std::string codec = "Настройка сохранена и будет применена" + later;
    const std::string output = "Устройство вывода сохранено и будет применено" + later;
    const std::string microphone = "Настройка микрофона сохранена и будет применена" + later;
    const auto error = MessageIcon::Error;
    const std::vector<Case> cases = {
        {1001, false, "client-codec.txt=h264", codec},
        {1010, false, "client-bitrate.txt=0", "Битрейт сохранён и будет применён" + later},
        {1102, false, "client-output-device.txt=HDMI", output},
        {1100, false, "client-output-device.txt=", output},
        {1201, false, "client-microphone-device.txt=Mic A", microphone},
        {1001, true, "client-codec.txt=h264", "Не удалось сохранить настройку кодека.", error},
        {1011, true, "client-bitrate.txt=4", "Не удалось сохранить настройку битрейта.", error},
        {1101, true, "client-output-device.txt=Speakers", "Не удалось сохранить устройство вывода.",
         error},
        {1200, true, "client-microphone-device.txt=", "Не удалось сохранить настройку микрофона.",
         error},
        // The codec of the running session, not the one saved for the next start.
        {1003, false, "", informationText(true, "d3d11va"), MessageIcon::Information,
         "О Quorvanta"},
        {1004, false, "", ""},  // starts the network test
    };
    std::vector<Case> all = cases;
    // Positions beyond the lists enumerated afresh (a device went away), unknown ids.
    for (const int id : {1103, 1202, 1000, 1016, 1300}) {
        all.push_back({id, false, "", ""});
    }
    for (const Case& c : all) {
        SCOPED_TRACE(c.id);
        FakeSettings settings;
        settings.outputDevices = {"Speakers", "HDMI"};
        settings.captureDevices = {"Mic A"};
        settings.writesFail = c.writesFail;
        std::vector<Notice> notices;
        int networkTests = 0;
        const MenuCommandContext context{settings.access(),
                                         [&](const Notice& notice) { notices.push_back(notice); },
                                         [&] { ++networkTests; }, true, [] { return "d3d11va"; }};
        handleMenuCommand(context, c.id);
        EXPECT_EQ(settings.writes,
                  c.write.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.write});
        EXPECT_EQ(notices, (c.notice.empty() ? std::vector<Notice>{}
                                             : std::vector<Notice>{{c.title, c.notice, c.icon}}));
        EXPECT_EQ(networkTests, c.id == 1004 ? 1 : 0);
    }
}

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

    // What start-up makes of each file: the codec as "hevc" or "h264", the bitrate in Mbit/s
    // (0, automatic, for any value that cannot be bits per second), a name.
    const auto read = [](const std::string& file) {
        return file == codecFile     ? std::string(readCodecIsHevc() ? "hevc" : "h264")
               : file == bitrateFile ? std::to_string(effectiveBitrateMbps(readBitrateMbps()))
                                     : readDeviceName(file);
    };
    const std::vector<std::array<std::string, 3>> cases = {
        {codecFile, "hevc", "hevc"},
        {codecFile, "hevc\r\nh264", "hevc"},
        {codecFile, "HEVC", "h264"},
        {codecFile, "hevc\r", "h264"},
        {bitrateFile, "20\r\n", "20"},
        {bitrateFile, "\r\n8", "8"},
        {bitrateFile, "12.5", "12"},
        {bitrateFile, "2147", "2147"},
        {bitrateFile, "2148", "0"},
        {bitrateFile, "-4", "0"},
        {bitrateFile, "abc", "0"},
        {outputDeviceFile, "Speakers (USB Audio)\r\nHeadphones\r\n", "Speakers (USB Audio)"},
        {outputDeviceFile, "  spaced name  ", "  spaced name  "},
        {outputDeviceFile, "\nsecond", ""},
    };
    for (const auto& [file, content, value] : cases) {
        save(file, content);
        EXPECT_EQ(read(file), value) << file << " \"" << content << '"';
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
