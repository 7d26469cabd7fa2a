#pragma once

// Finds a remote peer that ends cleanly gone at once, rather than after the silence limit:
// its DTLS or SCTP transport closes, it says RTCP BYE for each of its streams, or it closes
// every data channel (an SCTP stream reset).

#include <gst/gst.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

#include "rtc/Webrtcbin.hpp"
#include "rtc/rtc.hpp"

namespace rtc {

class TransportWatch : public std::enable_shared_from_this<TransportWatch> {
  public:
    // report receives Closed or Failed; it may run on any GStreamer thread.
    explicit TransportWatch(std::function<void(PeerConnection::State)> report);

    // Watches the transports of the applied description and the RTP session; only the first
    // call does anything.
    void watchTransports(GstElement* webrtc);
    // Counts a channel the remote peer opened until it closes.
    void watchChannel(GstWebRTCDataChannel* channel);
    // The connection came up: from now on, every channel closed means the session is over.
    void connected();

  private:
    void channelClosed();
    void byeFrom(guint ssrc);

    const std::function<void(PeerConnection::State)> report;

    std::mutex mutex;
    bool transportsWatched = false;
    bool everConnected = false;
    std::set<guint> remoteSsrcs;
    std::size_t remoteChannelsOpen = 0;
};

}  // namespace rtc
