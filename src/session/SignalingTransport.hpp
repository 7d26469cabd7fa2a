#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

// The two service calls signaling needs. `main` binds them to its ApiClient; tests bind them
// to recorders. Both throw std::exception on a failed request and return the parsed reply.
struct SignalingTransport {
    std::function<nlohmann::json(const std::string& path)> get;
    std::function<nlohmann::json(const std::string& path, const nlohmann::json& body)> postJson;
};

// "/game-sessions/<id>/webrtc/<suffix>": plain concatenation, nothing escaped.
inline std::string webrtcPath(const std::string& sessionId, const std::string& suffix) {
    return "/game-sessions/" + sessionId + "/webrtc/" + suffix;
}
