#pragma once

#include <nlohmann/json.hpp>

#include "webrtc/rtc.hpp"

// Turns the service's ICE configuration reply into a connection configuration. Only the ICE
// server list is filled; the caller sets the codec and any bind address.
//
// Throws the JSON library's exceptions for a reply of the wrong shape and the rtc layer's
// std::invalid_argument for a URL it cannot parse.
rtc::Configuration parseIceConfiguration(const nlohmann::json& reply);
