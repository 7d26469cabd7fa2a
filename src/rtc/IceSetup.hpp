#pragma once

// ICE and socket set-up on a webrtcbin element: the servers it may use, the one address it
// gathers on, and the receive buffers of the sockets ICE selected.

#include <gst/gst.h>

#include <string>
#include <vector>

#include "rtc/rtc.hpp"

namespace rtc {

// The first STUN server, and every TURN server with its credentials.
void configureIceServers(GstElement* webrtc, const std::vector<IceServer>& servers);

// Makes ICE gather host candidates on this address only. False when the element has no ICE
// agent to tell or the address does not parse.
bool gatherOnlyOn(GstElement* webrtc, const std::string& address);

// Raises the receive buffers of the sockets ICE selected, so that a burst of video packets
// (a key frame) is not dropped by the kernel. False while no socket is selected yet.
bool raiseReceiveBuffers(GstElement* webrtc);

}  // namespace rtc
