#include "rtc/TransportWatch.hpp"

#include <atomic>
#include <cstdio>

#include "rtc/EngineLog.hpp"
#include "rtc/Glib.hpp"
#include "rtc/WeakBind.hpp"

namespace rtc {

TransportWatch::TransportWatch(std::function<void(PeerConnection::State)> report)
    : report(std::move(report)) {}

void TransportWatch::connected() {
    std::lock_guard lock(mutex);
    everConnected = true;
}

void TransportWatch::watchTransports(GstElement* webrtc,
                                     std::vector<dtls::Fingerprint> fingerprints) {
    {
        std::lock_guard lock(mutex);
        if (transportsWatched) {
            return;
        }
        transportsWatched = true;
        expected = std::move(fingerprints);
    }
    const auto weak = weak_from_this();

    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_signal_emit_by_name(webrtc, "get-transceiver", 0, &transceiver);
    auto transceiverRef = glib::Ref<GstWebRTCRTPTransceiver>::adopt(transceiver);
    GstWebRTCDTLSTransport* dtls = nullptr;
    if (transceiver) {
        GstWebRTCRTPReceiver* receiver = nullptr;
        g_object_get(transceiver, "receiver", &receiver, nullptr);
        auto receiverRef = glib::Ref<GstWebRTCRTPReceiver>::adopt(receiver);
        if (receiver) {
            g_object_get(receiver, "transport", &dtls, nullptr);
        }
    }
    GstWebRTCSCTPTransport* sctp = nullptr;
    g_object_get(webrtc, "sctp-transport", &sctp, nullptr);
    auto sctpRef = glib::Ref<GstWebRTCSCTPTransport>::adopt(sctp);
    if (!dtls && sctp) {
        g_object_get(sctp, "transport", &dtls, nullptr);
    }
    auto dtlsRef = glib::Ref<GstWebRTCDTLSTransport>::adopt(dtls);

    if (dtls) {
        glib::connect<void(GstWebRTCDTLSTransport*, GParamSpec*)>(
            dtls, "notify::state",
            weakBind(weak,
                     [](TransportWatch& self, GstWebRTCDTLSTransport* transport, GParamSpec*) {
                         GstWebRTCDTLSTransportState state = GST_WEBRTC_DTLS_TRANSPORT_STATE_NEW;
                         g_object_get(transport, "state", &state, nullptr);
                         if (state == GST_WEBRTC_DTLS_TRANSPORT_STATE_CONNECTED) {
                             self.checkPeerCertificate(transport);
                         } else if (state == GST_WEBRTC_DTLS_TRANSPORT_STATE_CLOSED) {
                             self.report(PeerConnection::State::Closed);
                         } else if (state == GST_WEBRTC_DTLS_TRANSPORT_STATE_FAILED) {
                             self.report(PeerConnection::State::Failed);
                         }
                     }));
    }
    if (sctp) {
        auto wasConnected = std::make_shared<std::atomic<bool>>(false);
        glib::connect<void(GstWebRTCSCTPTransport*, GParamSpec*)>(
            sctp, "notify::state",
            weakBind(weak, [wasConnected](TransportWatch& self, GstWebRTCSCTPTransport* transport,
                                          GParamSpec*) {
                GstWebRTCSCTPTransportState state = GST_WEBRTC_SCTP_TRANSPORT_STATE_NEW;
                g_object_get(transport, "state", &state, nullptr);
                if (state == GST_WEBRTC_SCTP_TRANSPORT_STATE_CONNECTED) {
                    *wasConnected = true;
                } else if (state == GST_WEBRTC_SCTP_TRANSPORT_STATE_CLOSED && *wasConnected) {
                    self.report(PeerConnection::State::Closed);
                }
            }));
    }

    glib::Ref<GstElement> rtpbin =
        glib::Ref<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(webrtc), "rtpbin"));
    if (rtpbin) {
        glib::connect<void(GstElement*, GstPad*)>(
            rtpbin.get(), "pad-added",
            weakBind(weak, [](TransportWatch& self, GstElement*, GstPad* pad) {
                unsigned session = 0, ssrc = 0, payload = 0;
                if (sscanf(GST_PAD_NAME(pad), "recv_rtp_src_%u_%u_%u", &session, &ssrc, &payload) ==
                    3) {
                    std::lock_guard lock(self.mutex);
                    self.remoteSsrcs.insert(ssrc);
                }
            }));
        glib::connect<void(GstElement*, guint, guint)>(
            rtpbin.get(), "on-bye-ssrc",
            weakBind(weak, [](TransportWatch& self, GstElement*, guint, guint ssrc) {
                self.byeFrom(ssrc);
            }));
    }
}

void TransportWatch::checkPeerCertificate(GstWebRTCDTLSTransport* transport) {
    gchar* pem = nullptr;
    g_object_get(transport, "remote-certificate", &pem, nullptr);
    const std::string certificate = pem ? pem : "";
    g_free(pem);
    std::vector<dtls::Fingerprint> fingerprints;
    {
        std::lock_guard lock(mutex);
        fingerprints = expected;
    }
    if (!dtls::matches(certificate, fingerprints)) {
        writeEngineLine("dtls_peer_refused=its certificate matches no fingerprint of the offer");
        report(PeerConnection::State::Failed);
    }
}

void TransportWatch::byeFrom(guint ssrc) {
    bool allGone = false;
    {
        std::lock_guard lock(mutex);
        allGone = remoteSsrcs.erase(ssrc) == 1 && remoteSsrcs.empty();
    }
    if (allGone) {
        report(PeerConnection::State::Closed);
    }
}

void TransportWatch::watchChannel(GstWebRTCDataChannel* channel) {
    // The client closes its channels itself only at shutdown, once the end is decided; until
    // then every close is the peer's.
    {
        std::lock_guard lock(mutex);
        ++remoteChannelsOpen;
    }
    auto counted = std::make_shared<std::atomic<bool>>(false);
    glib::connect<void(GstWebRTCDataChannel*)>(
        channel, "on-close",
        weakBind(weak_from_this(), [counted](TransportWatch& self, GstWebRTCDataChannel*) {
            if (!counted->exchange(true)) {
                self.channelClosed();
            }
        }));
}

void TransportWatch::channelClosed() {
    bool allClosed = false;
    {
        std::lock_guard lock(mutex);
        allClosed = --remoteChannelsOpen == 0 && everConnected;
    }
    if (allClosed) {
        report(PeerConnection::State::Closed);
    }
}

}  // namespace rtc
