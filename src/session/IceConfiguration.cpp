#include "session/IceConfiguration.hpp"

#include <string>

#include "session/SignalingTransport.hpp"

namespace {

// An absent key means empty; a present one must be a string (null included is an error).
std::string optionalString(const nlohmann::json& server, const char* key) {
    auto found = server.find(key);
    return found == server.end() ? std::string() : found->get<std::string>();
}

}  // namespace

rtc::Configuration parseIceConfiguration(const nlohmann::json& reply) {
    rtc::Configuration config;
    // Iterating a null yields nothing and a lone string yields itself once, which is exactly
    // the "null is empty, one string is a list of one" rule of the reply.
    for (const auto& server : reply.at("iceServers")) {
        for (const auto& url : server.at("urls")) {
            rtc::IceServer iceServer(url.get<std::string>());
            // The reply's credentials win over any carried in the URL text, even when empty.
            iceServer.username = optionalString(server, "username");
            iceServer.password = optionalString(server, "credential");
            config.iceServers.push_back(std::move(iceServer));
        }
    }
    return config;
}

rtc::Configuration fetchIceConfiguration(
    const std::function<nlohmann::json(const std::string& path)>& get,
    const std::string& sessionId) {
    return parseIceConfiguration(get(webrtcPath(sessionId, "config")));
}

std::optional<std::string> loopbackBindAddressFor(const std::string& baseUrl) {
    std::string_view rest = baseUrl;
    if (auto scheme = rest.find("://"); scheme != std::string_view::npos) {
        rest.remove_prefix(scheme + 3);
    }
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (auto at = rest.rfind('@'); at != std::string_view::npos) {
        rest.remove_prefix(at + 1);
    }
    std::string_view host = rest;
    if (host.starts_with('[')) {
        host = host.substr(0, host.find(']') + 1);
    } else {
        host = host.substr(0, host.find(':'));
    }
    const bool dottedNumbers = host.find_first_not_of("0123456789.") == std::string_view::npos;
    if (host == "localhost" || (dottedNumbers && host.starts_with("127."))) {
        return "127.0.0.1";
    }
    return std::nullopt;
}
