#pragma once

// The offering side of one offer/answer exchange on webrtcbin: the offer made once the
// pipeline asks for it, the viewer's answer, and the candidates both ways, matched to the
// offer's sections by media id.

#include <gst/gst.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OfferingPeer.hpp"
#include "rtc/CallbackGate.hpp"
#include "rtc/Glib.hpp"
#include "rtc/PromiseWaiter.hpp"

class OfferNegotiation : public std::enable_shared_from_this<OfferNegotiation> {
  public:
    // Reports the offer and the local candidates through callbacks, behind the peer's gate.
    OfferNegotiation(rtc::glib::Ref<GstElement> webrtc, std::shared_ptr<rtc::CallbackGate> gate,
                     const OfferingPeerCallbacks& callbacks);

    // Connects to the element's signals; call once, before the pipeline starts.
    void connectSignals();
    // Throws std::runtime_error when the answer cannot be applied.
    void setRemoteAnswer(const std::string& sdp);
    // Only loopback candidates of an offered section go on; false for any other.
    bool addRemoteCandidate(const std::string& candidate, const std::string& mid);

  private:
    void negotiationNeeded();
    void offerCreated(GstPromise* promise);
    void localCandidate(guint mline, const gchar* candidate);

    const rtc::glib::Ref<GstElement> webrtc;
    const std::shared_ptr<rtc::CallbackGate> gate;
    const OfferingPeerCallbacks callbacks;

    std::mutex mutex;
    bool offerStarted = false;
    std::vector<std::string> mids;  // of the offer's sections, in order
    // Settles once the offer is the local description; an answer must wait for that.
    std::shared_ptr<rtc::PromiseWaiter> offerSet;
};
