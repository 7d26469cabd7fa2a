#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/MessageBox.hpp"
#include "platform/PopupMenu.hpp"

// The settings files and device lists the menu reads and writes, passed in so the menu does
// not depend on how they are stored or enumerated.
struct SettingsAccess {
    std::function<std::int32_t()> readBitrateMbps;
    std::function<std::string(const std::string& fileName)> readDeviceName;
    std::function<bool(bool hevc)> writeCodec;
    std::function<bool(std::int32_t mbps)> writeBitrateMbps;
    std::function<bool(const std::string& fileName, const std::string& name)> writeDeviceName;
    std::function<std::vector<std::string>()> listOutputDevices;
    std::function<std::vector<std::string>()> listCaptureDevices;
};

namespace menu_id {
inline constexpr int codecH264 = 1001;
inline constexpr int codecHevc = 1002;
inline constexpr int information = 1003;
inline constexpr int networkTest = 1004;
inline constexpr int bitrateFirst = 1010;
inline constexpr int bitrateLast = 1015;
inline constexpr int outputDefault = 1100;
inline constexpr int outputLast = 1199;
inline constexpr int microphoneOff = 1200;
inline constexpr int microphoneLast = 1299;
}  // namespace menu_id

// The menu with its check marks, read afresh from the saved settings; the saved codec is read
// by the caller just before.
std::vector<MenuEntry> buildSettingsMenu(const SettingsAccess& settings, bool savedCodecIsHevc);

// Builds the menu and shows it; the chosen command comes back through the main loop.
void showSettingsMenu(const PopupMenuOwner& owner, const SettingsAccess& settings,
                      bool savedCodecIsHevc, int x, int y);

struct Notice {
    std::string title;
    std::string text;
    MessageIcon icon;

    bool operator==(const Notice&) const = default;
};

// What a menu command needs besides the settings.
struct MenuCommandContext {
    SettingsAccess settings;
    std::function<void(const Notice&)> showNotice;
    std::function<void()> runNetworkTest;
    bool sessionCodecIsHevc = false;  // what the running session uses, not the saved file
    // The decoder in use now, as the start-up log names it ("d3d11va", ..., "software").
    std::function<std::string()> decoderName;
};

// Acts on a chosen command id; unknown ids are ignored.
void handleMenuCommand(const MenuCommandContext& context, int id);

// `decoderName` as in MenuCommandContext.
std::string informationText(bool sessionCodecIsHevc, const std::string& decoderName);
