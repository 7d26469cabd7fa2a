#include "settings/SettingsMenu.hpp"

#include <array>
#include <cctype>
#include <cstddef>

#include "platform/ClientTitle.hpp"
#include "settings/SettingsStore.hpp"

namespace {

constexpr std::array<std::int32_t, 6> bitrateChoicesMbps = {0, 4, 8, 12, 20, 35};
constexpr std::size_t maxListedDevices = 99;

constexpr const char* noticeTitle = "Quorvanta";

struct NoticeTexts {
    const char* success;
    const char* failure;
};
constexpr NoticeTexts codecNotice = {
    "Настройка сохранена и будет применена при следующем запуске клиента.",
    "Не удалось сохранить настройку кодека."};
constexpr NoticeTexts bitrateNotice = {
    "Битрейт сохранён и будет применён при следующем запуске клиента.",
    "Не удалось сохранить настройку битрейта."};
constexpr NoticeTexts outputNotice = {
    "Устройство вывода сохранено и будет применено при следующем запуске клиента.",
    "Не удалось сохранить устройство вывода."};
constexpr NoticeTexts microphoneNotice = {
    "Настройка микрофона сохранена и будет применена при следующем запуске клиента.",
    "Не удалось сохранить настройку микрофона."};

std::string bitrateLabel(std::int32_t mbps) {
    return mbps == 0 ? "Автоматически" : std::to_string(mbps) + " Мбит/с";
}

MenuEntry deviceSubmenu(const std::string& label, const std::string& noneLabel, int noneId,
                        const std::vector<std::string>& devices, const std::string& saved) {
    std::vector<MenuEntry> entries;
    entries.push_back(MenuEntry::command(noneLabel, noneId, saved.empty()));
    for (std::size_t i = 0; i < devices.size() && i < maxListedDevices; ++i) {
        entries.push_back(MenuEntry::command(devices[i], noneId + 1 + static_cast<int>(i),
                                             !saved.empty() && devices[i] == saved));
    }
    return MenuEntry::submenu(label, std::move(entries));
}

void notify(const MenuCommandContext& context, const NoticeTexts& texts, bool saved) {
    context.showNotice(saved ? Notice{noticeTitle, texts.success, MessageIcon::Information}
                             : Notice{noticeTitle, texts.failure, MessageIcon::Error});
}

// Resolves a device id against a list enumerated now; the list may have changed since the
// menu was shown, and a position past its end names no device.
void saveDevice(const MenuCommandContext& context, int id, int noneId,
                const std::vector<std::string>& devices, const char* fileName,
                const NoticeTexts& texts) {
    std::string name;
    if (id != noneId) {
        const auto position = static_cast<std::size_t>(id - noneId - 1);
        if (position >= devices.size()) {
            return;
        }
        name = devices[position];
    }
    notify(context, texts, context.settings.writeDeviceName(fileName, name));
}

}  // namespace

std::vector<MenuEntry> buildSettingsMenu(const SettingsAccess& settings, bool savedCodecIsHevc) {
    const std::int32_t savedBitrate = settings.readBitrateMbps();
    std::vector<MenuEntry> bitrates;
    for (std::size_t i = 0; i < bitrateChoicesMbps.size(); ++i) {
        bitrates.push_back(MenuEntry::command(bitrateLabel(bitrateChoicesMbps[i]),
                                              menu_id::bitrateFirst + static_cast<int>(i),
                                              bitrateChoicesMbps[i] == savedBitrate));
    }

    std::vector<MenuEntry> menu;
    menu.push_back(
        MenuEntry::command("H.264 (совместимый)", menu_id::codecH264, !savedCodecIsHevc));
    menu.push_back(MenuEntry::command("HEVC / H.265", menu_id::codecHevc, savedCodecIsHevc));
    menu.push_back(MenuEntry::separator());
    menu.push_back(MenuEntry::submenu("Битрейт", std::move(bitrates)));
    menu.push_back(deviceSubmenu("Вывод звука", "По умолчанию", menu_id::outputDefault,
                                 settings.listOutputDevices(),
                                 settings.readDeviceName(SettingsStore::outputDeviceFile)));
    menu.push_back(deviceSubmenu("Микрофон", "Выключен", menu_id::microphoneOff,
                                 settings.listCaptureDevices(),
                                 settings.readDeviceName(SettingsStore::microphoneDeviceFile)));
    menu.push_back(MenuEntry::separator());
    menu.push_back(MenuEntry::command("Тест сети", menu_id::networkTest));
    menu.push_back(MenuEntry::command("Информация", menu_id::information));
    return menu;
}

void showSettingsMenu(const PopupMenuOwner& owner, const SettingsAccess& settings,
                      bool savedCodecIsHevc, int x, int y) {
    if (owner.nativeHandle == nullptr && owner.window == nullptr) {
        return;
    }
    showPopupMenu(owner, buildSettingsMenu(settings, savedCodecIsHevc), x, y);
}

void handleMenuCommand(const MenuCommandContext& context, int id) {
    const SettingsAccess& settings = context.settings;
    if (id >= menu_id::bitrateFirst && id <= menu_id::bitrateLast) {
        notify(context, bitrateNotice,
               settings.writeBitrateMbps(bitrateChoicesMbps[id - menu_id::bitrateFirst]));
    } else if (id >= menu_id::outputDefault && id <= menu_id::outputLast) {
        saveDevice(context, id, menu_id::outputDefault, settings.listOutputDevices(),
                   SettingsStore::outputDeviceFile, outputNotice);
    } else if (id >= menu_id::microphoneOff && id <= menu_id::microphoneLast) {
        saveDevice(context, id, menu_id::microphoneOff, settings.listCaptureDevices(),
                   SettingsStore::microphoneDeviceFile, microphoneNotice);
    } else if (id == menu_id::networkTest) {
        context.runNetworkTest();
    } else if (id == menu_id::information) {
        context.showNotice({"О Quorvanta",
                            informationText(context.sessionCodecIsHevc, context.decoderName()),
                            MessageIcon::Information});
    } else if (id == menu_id::codecH264 || id == menu_id::codecHevc) {
        notify(context, codecNotice, settings.writeCodec(id == menu_id::codecHevc));
    }
}

std::string informationText(bool sessionCodecIsHevc, const std::string& decoderName) {
    // The device named as the start-up log does, in capitals: "D3D11VA (аппаратное)".
    std::string decoding = "программное";
    if (decoderName != "software") {
        decoding.clear();
        for (char c : decoderName) {
            decoding += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        decoding += " (аппаратное)";
    }
    return std::string(platform::clientTitle) +
           "\nКодек: " + (sessionCodecIsHevc ? "HEVC / H.265" : "H.264") +
           "\nДекодирование: " + decoding +
           "\nF11 — полноэкранный режим\nCtrl+Alt+Shift+Q — освободить мышь";
}
