#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "rtc/rtc.hpp"

// Turns the service's ICE configuration reply into a connection configuration. Only the ICE
// server list is filled; the caller sets the codec and any bind address.
//
// Throws the JSON library's exceptions for a reply of the wrong shape and the rtc layer's
// std::invalid_argument for a URL it cannot parse.
rtc::Configuration parseIceConfiguration(const nlohmann::json& reply);

// Start-up step: GET "/game-sessions/<sessionId>/webrtc/config" and parse the reply. The
// request's exception (a failed request) propagates like the parse errors.
rtc::Configuration fetchIceConfiguration(
    const std::function<nlohmann::json(const std::string& path)>& get,
    const std::string& sessionId);

// A service on this machine (its base URL names a loopback host) may send its media over
// loopback, which the engine does not gather on by itself: the address to gather on as well.
// Every other service gets nothing.
std::optional<std::string> loopbackBindAddressFor(const std::string& baseUrl);
