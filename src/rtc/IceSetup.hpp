#pragma once

// ICE and socket set-up on a webrtcbin element: the servers it may use, the addresses it
// gathers on, and the receive buffers of the sockets ICE selected.

#include <gst/gst.h>

#include <optional>
#include <string>
#include <vector>

#include "rtc/rtc.hpp"

namespace rtc {

// What the engine can take of the servers: one STUN server (its URI), every TURN server with
// credentials (URIs with them), and a log line for each server it cannot use, with the reason.
struct IcePlan {
    std::optional<std::string> stun;
    std::vector<std::string> turn;
    std::vector<std::string> unused;
};
IcePlan planIceServers(const std::vector<IceServer>& servers);

// Gives the engine the servers of the plan; returns the "ice_server_unused=" lines, those of
// the plan and one for each TURN server the engine refused.
std::vector<std::string> configureIceServers(GstElement* webrtc,
                                             const std::vector<IceServer>& servers);

// Makes ICE gather host candidates on this address only. False when the element has no ICE
// agent to tell or the address does not parse.
bool gatherOnlyOn(GstElement* webrtc, const std::string& address);

// Makes ICE gather on this address as well as on every interface it gathers on by itself.
// False as for gatherOnlyOn.
bool gatherAlsoOn(GstElement* webrtc, const std::string& address);

// Raises the receive buffers of the sockets ICE selected, so that a burst of video packets
// (a key frame) is not dropped by the kernel. False while no socket is selected yet.
bool raiseReceiveBuffers(GstElement* webrtc);

}  // namespace rtc
