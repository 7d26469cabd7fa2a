#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

class ApiClient;

// The steps of the client's start-up, in the order main runs them. Each is a free function
// named after its step; the pure parts are split out so they can be checked alone.

inline constexpr const char* defaultBaseUrl = "http://127.0.0.1:8080";

struct Credentials {
    std::string email;
    std::string password;
};

struct Preferences {
    bool codecIsHevc = false;
    std::int32_t bitrateMbps = 0;  // already checked: 0 means automatic
};

struct StreamSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
};

struct DeviceNames {
    std::string output;      // empty: the system default
    std::string microphone;  // empty: no microphone
};

// `arguments` are the command-line arguments after the program name: an optional base URL,
// then an optional game session id.
std::string chooseBaseUrl(const std::vector<std::string>& arguments);

Credentials promptCredentials();

// The id of the first active session. Accepts a bare array of sessions or any value whose
// "data" holds one; throws "No active Quorvanta session" when there is none.
std::string sessionIdFromActiveSessions(const nlohmann::json& reply);

// The second argument when given, otherwise asked of the service.
std::string lookUpSessionId(const std::vector<std::string>& arguments, const ApiClient& api);

Preferences readPreferences();

// Display sizes are rounded down to even numbers (the encoder needs them).
StreamSize evenStreamSize(std::int32_t width, std::int32_t height);

// The size of display 0, or 1920 by 1080 when SDL cannot tell; made even. SDL must be running.
StreamSize measureStreamSize();

nlohmann::json viewportBody(StreamSize size, const Preferences& preferences);

void reportViewport(const ApiClient& api, const std::string& sessionId, StreamSize size,
                    const Preferences& preferences);

std::string displayLogLine(StreamSize size);

DeviceNames readDeviceNames();

// The first bitrate target in bit/s: the fixed setting, or when automatic one chosen by the
// stream size.
std::uint64_t initialTargetBitrate(const Preferences& preferences, StreamSize size);

// "native-" and the monotonic clock in nanoseconds: tells this client instance apart.
std::string makeViewerId();
