#pragma once

// The answering side of one offer/answer exchange on webrtcbin: the offer's media sections,
// the codecs the answer accepts, the remote candidates placed on those sections, and the
// local candidates held back until the answer is out.

#include <gst/gst.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "rtc/Glib.hpp"
#include "rtc/Sdp.hpp"
#include "rtc/Webrtcbin.hpp"
#include "rtc/rtc.hpp"

namespace rtc {

class Negotiation {
  public:
    // deliverCandidate hands one local candidate to the user; it runs on engine threads, one
    // candidate at a time, in the order they were gathered.
    Negotiation(glib::Ref<GstElement> webrtc, VideoCodec videoCodec,
                std::function<void(Candidate)> deliverCandidate);

    // Applies the offer, then creates and sets the answer; returns the answer's text. Throws
    // std::invalid_argument for anything but an offer, std::runtime_error when the engine
    // refuses it or an offer was applied before (no renegotiation).
    std::string answer(const Description& offer);
    // The answer reached the user: the held local candidates may follow it.
    void answerDelivered();
    // Throws std::invalid_argument before the offer, or for a candidate of no offered section.
    void addRemoteCandidate(const Candidate& candidate);

    // Engine events.
    void newTransceiver(GstWebRTCRTPTransceiver* transceiver);
    void localCandidate(unsigned mline, const char* text);
    // The media id of a section of the offer, or the section's index when it names none.
    std::string midAt(unsigned mline) const;
    // The sections the engine answered, in its m-line order.
    std::vector<sdp::Media> media() const;

  private:
    void drainCandidates();

    const glib::Ref<GstElement> webrtc;
    const VideoCodec videoCodec;
    const std::function<void(Candidate)> deliverCandidate;

    mutable std::mutex sdpMutex;
    std::vector<sdp::Media> remoteMedia;  // the sections the engine was given
    sdp::ShapedOffer offerShape;
    std::vector<bool> offeredRetransmission;  // per section of the offer
    bool haveRemote = false;

    std::mutex candidateMutex;
    bool descriptionDelivered = false;
    bool draining = false;
    std::deque<Candidate> heldCandidates;
};

}  // namespace rtc
