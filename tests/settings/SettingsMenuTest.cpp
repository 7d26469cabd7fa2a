#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/ClientTitle.hpp"
#include "settings/SettingsMenu.hpp"

namespace {

// Settings files and device lists held in memory; a missing key is a missing file.
struct FakeSettings {
    std::map<std::string, std::string> files;
    std::vector<std::string> outputDevices;
    std::vector<std::string> captureDevices;
    bool writesFail = false;
    int writes = 0;

    SettingsAccess access() {
        SettingsAccess a;
        a.readBitrateMbps = [this] {
            const auto it = files.find("client-bitrate.txt");
            return it == files.end() ? 0 : std::stoi(it->second);
        };
        a.readDeviceName = [this](const std::string& file) {
            const auto it = files.find(file);
            return it == files.end() ? std::string() : it->second;
        };
        a.writeCodec = [this](bool hevc) {
            return write("client-codec.txt", hevc ? "hevc" : "h264");
        };
        a.writeBitrateMbps = [this](std::int32_t mbps) {
            return write("client-bitrate.txt", std::to_string(mbps));
        };
        a.writeDeviceName = [this](const std::string& file, const std::string& name) {
            return write(file, name);
        };
        a.listOutputDevices = [this] { return outputDevices; };
        a.listCaptureDevices = [this] { return captureDevices; };
        return a;
    }

    bool write(const std::string& file, const std::string& value) {
        ++writes;
        if (writesFail) {
            return false;
        }
        files[file] = value;
        return true;
    }
};

const MenuEntry& submenu(const std::vector<MenuEntry>& menu, const std::string& label) {
    for (const auto& entry : menu) {
        if (entry.kind == MenuEntry::Kind::Submenu && entry.label == label) {
            return entry;
        }
    }
    throw std::runtime_error("no submenu " + label);
}

// Labels of the checked commands anywhere in the menu, in menu order.
std::vector<std::string> checkedLabels(const std::vector<MenuEntry>& menu) {
    std::vector<std::string> labels;
    for (const auto& entry : menu) {
        if (entry.checked) {
            labels.push_back(entry.label);
        }
        const auto inner = checkedLabels(entry.children);
        labels.insert(labels.end(), inner.begin(), inner.end());
    }
    return labels;
}

using Kind = MenuEntry::Kind;

TEST(SettingsMenuModel, layoutHasTheEntriesIdsAndSubmenusInOrder) {
    FakeSettings settings;
    settings.outputDevices = {"Speakers (Realtek)", "Наушники"};
    settings.captureDevices = {"Mic"};
    const auto menu = buildSettingsMenu(settings.access(), false);

    struct Row {
        Kind kind;
        std::string label;
        int id;
    };
    const std::vector<Row> expected = {
        {Kind::Command, "H.264 (совместимый)", 1001},
        {Kind::Command, "HEVC / H.265", 1002},
        {Kind::Separator, "", 0},
        {Kind::Submenu, "Битрейт", 0},
        {Kind::Submenu, "Вывод звука", 0},
        {Kind::Submenu, "Микрофон", 0},
        {Kind::Separator, "", 0},
        {Kind::Command, "Тест сети", 1004},
        {Kind::Command, "Информация", 1003},
    };
    ASSERT_EQ(menu.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(menu[i].kind, expected[i].kind) << i;
        EXPECT_EQ(menu[i].label, expected[i].label) << i;
        EXPECT_EQ(menu[i].id, expected[i].id) << i;
    }

    std::vector<std::pair<std::string, int>> bitrates;
    for (const auto& entry : menu[3].children) {
        bitrates.emplace_back(entry.label, entry.id);
    }
    EXPECT_EQ(bitrates, (std::vector<std::pair<std::string, int>>{{"Автоматически", 1010},
                                                                  {"4 Мбит/с", 1011},
                                                                  {"8 Мбит/с", 1012},
                                                                  {"12 Мбит/с", 1013},
                                                                  {"20 Мбит/с", 1014},
                                                                  {"35 Мбит/с", 1015}}));
    const auto& output = menu[4].children;
    ASSERT_EQ(output.size(), 3u);
    EXPECT_EQ(output[0].label, "По умолчанию");
    EXPECT_EQ(output[0].id, 1100);
    EXPECT_EQ(output[1].label, "Speakers (Realtek)");
    EXPECT_EQ(output[1].id, 1101);
    EXPECT_EQ(output[2].label, "Наушники");
    EXPECT_EQ(output[2].id, 1102);
    const auto& microphone = menu[5].children;
    ASSERT_EQ(microphone.size(), 2u);
    EXPECT_EQ(microphone[0].label, "Выключен");
    EXPECT_EQ(microphone[0].id, 1200);
    EXPECT_EQ(microphone[1].id, 1201);
}

TEST(SettingsMenuModel, checkMarksFollowTheSavedFiles) {
    FakeSettings settings;
    settings.outputDevices = {"Speakers", "Наушники"};
    settings.captureDevices = {"Mic A", "Mic B"};

    EXPECT_EQ(checkedLabels(buildSettingsMenu(settings.access(), false)),
              (std::vector<std::string>{"H.264 (совместимый)", "Автоматически", "По умолчанию",
                                        "Выключен"}));

    settings.files["client-bitrate.txt"] = "12";
    settings.files["client-output-device.txt"] = "Наушники";
    settings.files["client-microphone-device.txt"] = "Mic B";
    EXPECT_EQ(checkedLabels(buildSettingsMenu(settings.access(), true)),
              (std::vector<std::string>{"HEVC / H.265", "12 Мбит/с", "Наушники", "Mic B"}));

    // Read afresh each time: a value outside the table and a vanished device check nothing.
    settings.files["client-bitrate.txt"] = "7";
    settings.files["client-output-device.txt"] = "USB Headset";
    settings.files["client-microphone-device.txt"] = "mic b";  // names compare byte for byte
    EXPECT_EQ(checkedLabels(buildSettingsMenu(settings.access(), true)),
              (std::vector<std::string>{"HEVC / H.265"}));
}

TEST(SettingsMenuModel, deviceListsStopAtNinetyNineEntries) {
    FakeSettings settings;
    for (int i = 0; i < 120; ++i) {
        settings.captureDevices.push_back("Capture " + std::to_string(i));
    }
    settings.outputDevices = settings.captureDevices;
    // The 100th device is not listed, so saving it earlier leaves nothing checked.
    settings.files["client-microphone-device.txt"] = "Capture 99";
    const auto menu = buildSettingsMenu(settings.access(), false);

    for (const char* label : {"Микрофон", "Вывод звука"}) {
        const auto& entries = submenu(menu, label).children;
        ASSERT_EQ(entries.size(), 100u) << label;
        EXPECT_EQ(entries[99].label, "Capture 98");
        EXPECT_EQ(entries.back().id % 100, 99);
    }
    EXPECT_EQ(submenu(menu, "Микрофон").children.back().id, 1299);
    EXPECT_EQ(checkedLabels(submenu(menu, "Микрофон").children), std::vector<std::string>{});
}

class MenuCommands : public ::testing::Test {
  protected:
    MenuCommandContext context() {
        MenuCommandContext c;
        c.settings = settings.access();
        c.showNotice = [this](const Notice& notice) { notices.push_back(notice); };
        c.runNetworkTest = [this] { ++networkTests; };
        c.sessionCodecIsHevc = false;
        c.decoderName = [this] { return decoder; };
        return c;
    }

    FakeSettings settings;
    std::vector<Notice> notices;
    int networkTests = 0;
    std::string decoder = "software";
};

TEST_F(MenuCommands, eachSaveWritesItsFileAndConfirmsIt) {
    settings.outputDevices = {"Speakers", "Наушники"};
    settings.captureDevices = {"Mic A", "Mic B"};
    const auto ok = [](const char* text) {
        return Notice{"Quorvanta", text, MessageIcon::Information};
    };

    handleMenuCommand(context(), 1002);
    EXPECT_EQ(settings.files["client-codec.txt"], "hevc");
    handleMenuCommand(context(), 1014);
    EXPECT_EQ(settings.files["client-bitrate.txt"], "20");
    handleMenuCommand(context(), 1102);
    EXPECT_EQ(settings.files["client-output-device.txt"], "Наушники");
    handleMenuCommand(context(), 1201);
    EXPECT_EQ(settings.files["client-microphone-device.txt"], "Mic A");

    EXPECT_EQ(notices,
              (std::vector<Notice>{
                  ok("Настройка сохранена и будет применена при следующем запуске клиента."),
                  ok("Битрейт сохранён и будет применён при следующем запуске клиента."),
                  ok("Устройство вывода сохранено и будет применено при следующем запуске "
                     "клиента."),
                  ok("Настройка микрофона сохранена и будет применена при следующем запуске "
                     "клиента."),
              }));

    // The "none" entries store an empty name, and the first bitrate entry stores 0.
    notices.clear();
    handleMenuCommand(context(), 1100);
    handleMenuCommand(context(), 1200);
    handleMenuCommand(context(), 1010);
    handleMenuCommand(context(), 1001);
    EXPECT_EQ(settings.files["client-output-device.txt"], "");
    EXPECT_EQ(settings.files["client-microphone-device.txt"], "");
    EXPECT_EQ(settings.files["client-bitrate.txt"], "0");
    EXPECT_EQ(settings.files["client-codec.txt"], "h264");
    EXPECT_EQ(notices.size(), 4u);
}

TEST_F(MenuCommands, failedSavesShowTheirErrorNotice) {
    settings.writesFail = true;
    settings.outputDevices = {"Speakers"};
    for (int id : {1001, 1011, 1101, 1200}) {
        handleMenuCommand(context(), id);
    }
    const auto error = [](const char* text) {
        return Notice{"Quorvanta", text, MessageIcon::Error};
    };
    EXPECT_EQ(notices, (std::vector<Notice>{error("Не удалось сохранить настройку кодека."),
                                            error("Не удалось сохранить настройку битрейта."),
                                            error("Не удалось сохранить устройство вывода."),
                                            error("Не удалось сохранить настройку микрофона.")}));
}

TEST_F(MenuCommands, devicePositionBeyondTheReenumeratedListIsIgnored) {
    // The menu listed three devices; one went away before the command was handled.
    settings.outputDevices = {"Speakers", "HDMI"};
    settings.captureDevices = {};
    handleMenuCommand(context(), 1103);
    handleMenuCommand(context(), 1199);
    handleMenuCommand(context(), 1201);
    EXPECT_EQ(settings.writes, 0);
    EXPECT_TRUE(notices.empty());

    // Positions still inside the new list resolve against it.
    handleMenuCommand(context(), 1102);
    EXPECT_EQ(settings.files["client-output-device.txt"], "HDMI");
}

TEST_F(MenuCommands, unknownIdsDoNothing) {
    for (int id : {0, 1000, 1005, 1009, 1016, 1099, 1300, -1, 65535}) {
        handleMenuCommand(context(), id);
    }
    EXPECT_EQ(settings.writes, 0);
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(networkTests, 0);
}

TEST_F(MenuCommands, informationBoxNamesTheSessionCodecAndTheCurrentDecoder) {
    settings.files["client-codec.txt"] = "hevc";  // saved for the next start only
    handleMenuCommand(context(), 1003);
    decoder = "d3d11va";
    auto hevcSession = context();
    hevcSession.sessionCodecIsHevc = true;
    handleMenuCommand(hevcSession, 1003);
    handleMenuCommand(context(), 1004);

    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0], (Notice{"О Quorvanta",
                                  std::string(platform::clientTitle) +
                                      "\nКодек: H.264\nДекодирование: программное\nF11 — "
                                      "полноэкранный режим\nCtrl+Alt+Shift+Q — освободить мышь",
                                  MessageIcon::Information}));
    EXPECT_EQ(notices[1].text,
              std::string(platform::clientTitle) +
                  "\nКодек: HEVC / H.265\nДекодирование: D3D11VA "
                  "(аппаратное)\nF11 — полноэкранный режим\nCtrl+Alt+Shift+Q — освободить мышь");
    EXPECT_EQ(networkTests, 1);
    EXPECT_EQ(settings.writes, 0);
    EXPECT_NE(informationText(false, "vaapi").find("Декодирование: VAAPI (аппаратное)\n"),
              std::string::npos)
        << "the decoder actually in use, not always Direct3D";
}

}  // namespace
