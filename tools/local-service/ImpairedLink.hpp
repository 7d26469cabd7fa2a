#pragma once

// The element that impairs an offering peer's outgoing RTP: webrtcbin places it after the
// retransmission sender, so what it drops the viewer can still ask for again, and a
// retransmission may be dropped in turn, as on a real network.

#include <gst/gst.h>

#include <cstdint>

#include "NetworkImpairment.hpp"

// A new floating element with "sink" and "src" pads; null when there is nothing to impair.
// keptPayloadType: packets of this payload type (the audio) are never dropped.
GstElement* makeImpairedLink(const NetworkImpairment& impairment, std::uint8_t keptPayloadType);
