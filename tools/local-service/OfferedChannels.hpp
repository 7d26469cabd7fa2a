#pragma once

// The data channels an offering peer opens towards its viewer ("input", "input-fast",
// "microphone"), each behind the client's own channel wrapper, with the viewer's messages
// handed on by label.

#include <gst/gst.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OfferingPeer.hpp"
#include "rtc/CallbackGate.hpp"
#include "rtc/Glib.hpp"
#include "rtc/GstDataChannel.hpp"

class OfferedChannels {
  public:
    // Reports openings and messages through callbacks, behind the peer's gate.
    OfferedChannels(std::shared_ptr<rtc::CallbackGate> gate,
                    const OfferingPeerCallbacks& callbacks);

    // Channels made before the first negotiation land in the first offer, in the order made.
    // options may be null. Throws std::runtime_error when webrtcbin makes no channel.
    void create(GstElement* webrtc, const char* label, GstStructure* options);

    // False when the channel is unknown or not open, or the send failed.
    bool send(const std::string& label, rtc::message_variant message);
    // Closes one channel while the rest of the session goes on; false if it is not open.
    bool close(const std::string& label);

    // The channels as webrtcbin holds them, for closing at teardown.
    using Handles = std::vector<rtc::glib::Ref<GstWebRTCDataChannel>>;
    Handles handles() const;
    // Closing the channels resets their SCTP streams, which tells the viewer the session is
    // over at once: webrtcbin sends neither RTCP BYE nor an SCTP abort when it stops. Waits
    // (briefly) for the viewer to acknowledge by closing its side.
    static void closeAll(const Handles& channels);

  private:
    struct Channel {
        rtc::glib::Ref<GstWebRTCDataChannel> handle;
        std::shared_ptr<rtc::GstDataChannel> wrapped;
    };
    std::shared_ptr<rtc::GstDataChannel> find(const std::string& label) const;

    const std::shared_ptr<rtc::CallbackGate> gate;
    const OfferingPeerCallbacks callbacks;

    mutable std::mutex mutex;
    std::map<std::string, Channel> channels;
};
