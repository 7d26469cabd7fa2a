#pragma once

// Finds a remote peer that ends cleanly gone at once, rather than after the silence limit:
// its DTLS or SCTP transport closes, it says RTCP BYE for each of its streams, or it closes
// every data channel (an SCTP stream reset). Also fails the connection whose DTLS peer shows a
// certificate the offer did not announce.

#include <gst/gst.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "rtc/DtlsFingerprint.hpp"
#include "rtc/Webrtcbin.hpp"
#include "rtc/rtc.hpp"

namespace rtc {

class TransportWatch : public std::enable_shared_from_this<TransportWatch> {
  public:
    // report receives Closed or Failed; it may run on any GStreamer thread.
    explicit TransportWatch(std::function<void(PeerConnection::State)> report);

    // Watches the transports of the applied description and the RTP session; only the first
    // call does anything. The DTLS peer must show a certificate of one of the fingerprints.
    void watchTransports(GstElement* webrtc, std::vector<dtls::Fingerprint> fingerprints);
    // Counts a channel the remote peer opened until it closes.
    void watchChannel(GstWebRTCDataChannel* channel);
    // The connection came up: from now on, every channel closed means the session is over.
    void connected();

  private:
    void channelClosed();
    void byeFrom(guint ssrc);
    void checkPeerCertificate(GstWebRTCDTLSTransport* transport);

    const std::function<void(PeerConnection::State)> report;

    std::mutex mutex;
    bool transportsWatched = false;
    bool everConnected = false;
    std::set<guint> remoteSsrcs;
    std::size_t remoteChannelsOpen = 0;
    std::vector<dtls::Fingerprint> expected;
};

}  // namespace rtc
