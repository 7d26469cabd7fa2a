#include "app/Startup.hpp"

#include <SDL.h>

#include <chrono>
#include <optional>
#include <stdexcept>

#include "api/ApiClient.hpp"
#include "platform/Console.hpp"
#include "session/SignalingTransport.hpp"
#include "settings/SettingsStore.hpp"

namespace {

constexpr std::int32_t automaticViewportBitrate = 12000000;
constexpr std::int32_t bitsPerMegabit = 1000000;

}  // namespace

std::string chooseBaseUrl(const std::vector<std::string>& arguments) {
    return arguments.empty() ? std::string(defaultBaseUrl) : arguments[0];
}

Credentials promptCredentials() {
    // Nothing is sent with credentials the player never gave: at the end of the console's
    // input (Ctrl+D, a closed or empty standard input) start-up ends instead.
    Credentials credentials;
    std::optional<std::string> email = platform::promptLine("Email: ");
    if (!email || email->empty()) {
        throw std::runtime_error("No e-mail entered");
    }
    credentials.email = std::move(*email);
    std::optional<std::string> password = platform::promptHiddenLine("Password: ");
    if (!password || password->empty()) {
        throw std::runtime_error("No password entered");
    }
    credentials.password = std::move(*password);
    return credentials;
}

std::string sessionIdFromActiveSessions(const nlohmann::json& reply) {
    // Referred to, never copied: a copy recurses once per nesting level, so a deeply nested
    // reply would exhaust the stack.
    const nlohmann::json none;
    const nlohmann::json* sessions = &none;
    if (reply.is_array()) {
        sessions = &reply;
    } else if (reply.is_object()) {
        sessions = reply.contains("data") ? &reply.at("data") : &none;
    } else if (!reply.is_null()) {
        sessions = &reply.at("data");  // throws the library's type error for the other kinds
    }
    if (sessions->empty()) {  // null, [] or {}
        throw std::runtime_error("No active Quorvanta session");
    }
    return sessions->at(0).at("id").get<std::string>();
}

std::string lookUpSessionId(const std::vector<std::string>& arguments, const ApiClient& api) {
    if (arguments.size() >= 2) {
        return arguments[1];
    }
    return sessionIdFromActiveSessions(api.get("/game-sessions/active"));
}

Preferences readPreferences() {
    Preferences preferences;
    preferences.codecIsHevc = SettingsStore::readCodecIsHevc();
    preferences.bitrateMbps = effectiveBitrateMbps(SettingsStore::readBitrateMbps());
    return preferences;
}

StreamSize evenStreamSize(std::int32_t width, std::int32_t height) {
    return {width - width % 2, height - height % 2};
}

StreamSize measureStreamSize() {
    SDL_DisplayMode mode{};
    if (SDL_GetCurrentDisplayMode(0, &mode) != 0) {
        return evenStreamSize(1920, 1080);
    }
    return evenStreamSize(mode.w, mode.h);
}

nlohmann::json viewportBody(StreamSize size, const Preferences& preferences) {
    const bool automatic = preferences.bitrateMbps == 0;
    return {
        {"width", size.width},
        {"height", size.height},
        {"codec", preferences.codecIsHevc ? "hevc" : "h264"},
        {"autoBitrate", automatic},
        {"bitrate",
         automatic ? automaticViewportBitrate : preferences.bitrateMbps * bitsPerMegabit},
    };
}

void reportViewport(const ApiClient& api, const std::string& sessionId, StreamSize size,
                    const Preferences& preferences) {
    api.postJson(webrtcPath(sessionId, "viewport"), viewportBody(size, preferences));
}

std::string displayLogLine(StreamSize size) {
    return "display=" + std::to_string(size.width) + "x" + std::to_string(size.height);
}

DeviceNames readDeviceNames() {
    DeviceNames names;
    names.output = SettingsStore::readDeviceName(SettingsStore::outputDeviceFile);
    names.microphone = SettingsStore::readDeviceName(SettingsStore::microphoneDeviceFile);
    return names;
}

std::uint64_t initialTargetBitrate(const Preferences& preferences, StreamSize size) {
    if (preferences.bitrateMbps != 0) {
        return static_cast<std::uint64_t>(preferences.bitrateMbps) * bitsPerMegabit;
    }
    if (size.width >= 2560 && size.height >= 1440) {
        return 20000000;
    }
    if (size.width >= 1920 && size.height >= 1080) {
        return 12000000;
    }
    return 8000000;
}

std::string makeViewerId() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return "native-" + std::to_string(std::chrono::nanoseconds(now).count());
}
