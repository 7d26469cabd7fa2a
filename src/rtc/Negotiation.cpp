#include "rtc/Negotiation.hpp"

#include <cstring>
#include <stdexcept>

#include "rtc/PromiseWaiter.hpp"

namespace rtc {

namespace {

// Whether each section of the offer can retransmit on request (an "rtx" format).
std::vector<bool> retransmittingSections(const GstSDPMessage* offer) {
    std::vector<bool> sections;
    for (guint m = 0; m < gst_sdp_message_medias_len(offer); ++m) {
        const GstSDPMedia* media = gst_sdp_message_get_media(offer, m);
        bool rtx = false;
        for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
            const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
            rtx |= attribute->value && std::strcmp(attribute->key, "rtpmap") == 0 &&
                   std::strstr(attribute->value, " rtx/") != nullptr;
        }
        sections.push_back(rtx);
    }
    return sections;
}

}  // namespace

Negotiation::Negotiation(glib::Ref<GstElement> webrtc, VideoCodec videoCodec,
                         std::function<void(Candidate)> deliverCandidate)
    : webrtc(std::move(webrtc)),
      videoCodec(videoCodec),
      deliverCandidate(std::move(deliverCandidate)) {}

std::string Negotiation::answer(const Description& description) {
    if (description.type() != Description::Type::Offer) {
        throw std::invalid_argument("Only an offer can be applied to an answering connection");
    }
    std::string text = description;
    sdp::listMedia(text);
    // Credentials first: the bundle's tagged section may be one that shaping leaves out.
    sdp::ShapedOffer shaped = sdp::shapeOffer(sdp::unifyBundleCredentials(text));

    GstSDPMessage* message = nullptr;
    gst_sdp_message_new_from_text(shaped.text.c_str(), &message);
    if (!message) {
        throw std::invalid_argument("The offer is not a session description");
    }
    {
        std::lock_guard lock(sdpMutex);
        if (haveRemote) {
            gst_sdp_message_free(message);
            throw std::runtime_error("Renegotiation is not supported");
        }
        remoteMedia = shaped.kept;
        offerShape = shaped;
        offeredRetransmission = retransmittingSections(message);
        haveRemote = true;
    }
    glib::DescriptionPtr offer(
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, message));

    glib::DescriptionPtr answer;
    try {
        PromiseWaiter applied;
        g_signal_emit_by_name(webrtc.get(), "set-remote-description", offer.get(), applied.get());
        applied.wait("Applying the offer");

        PromiseWaiter created;
        g_signal_emit_by_name(webrtc.get(), "create-answer", nullptr, created.get());
        auto reply = created.wait("Creating the answer");
        GstWebRTCSessionDescription* raw = nullptr;
        if (reply) {
            gst_structure_get(reply.get(), "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &raw,
                              nullptr);
        }
        answer.reset(raw);
        if (!answer) {
            throw std::runtime_error("The engine created no answer");
        }
        PromiseWaiter set;
        g_signal_emit_by_name(webrtc.get(), "set-local-description", answer.get(), set.get());
        set.wait("Setting the answer");
    } catch (...) {
        std::lock_guard lock(sdpMutex);
        haveRemote = false;
        remoteMedia.clear();
        offerShape = {};
        offeredRetransmission.clear();
        throw;
    }
    std::string engineAnswer = glib::takeString(gst_sdp_message_as_text(answer->sdp));
    return sdp::completeAnswer(engineAnswer, shaped);
}

void Negotiation::answerDelivered() {
    {
        std::lock_guard lock(candidateMutex);
        descriptionDelivered = true;
    }
    drainCandidates();
}

void Negotiation::addRemoteCandidate(const Candidate& candidate) {
    sdp::RemoteCandidate placed;
    {
        std::lock_guard lock(sdpMutex);
        if (!haveRemote) {
            throw std::invalid_argument("A candidate needs the remote description first");
        }
        if (offerShape.rejected(candidate.mid())) {
            return;  // a section the answer rejected has no transport
        }
        placed = sdp::placeRemoteCandidate(remoteMedia, candidate.mid(), candidate.candidate());
    }
    if (placed.text.empty()) {
        return;  // end of candidates
    }
    g_signal_emit_by_name(webrtc.get(), "add-ice-candidate", placed.mline, placed.text.c_str());
}

void Negotiation::newTransceiver(GstWebRTCRTPTransceiver* transceiver) {
    guint mline = G_MAXUINT;
    GstWebRTCKind kind = GST_WEBRTC_KIND_UNKNOWN;
    g_object_get(transceiver, "mlineindex", &mline, "kind", &kind, nullptr);
    std::string mediaKind;
    bool retransmission = false;
    {
        std::lock_guard lock(sdpMutex);
        if (mline < remoteMedia.size()) {
            mediaKind = remoteMedia[mline].kind;
        }
        retransmission = mline < offeredRetransmission.size() && offeredRetransmission[mline];
    }
    if (mediaKind.empty()) {
        mediaKind = kind == GST_WEBRTC_KIND_AUDIO ? "audio" : "video";
    }
    const char* preferred = nullptr;
    if (mediaKind == "audio") {
        preferred = "application/x-rtp,media=audio,encoding-name=OPUS,clock-rate=48000";
    } else if (mediaKind == "video") {
        preferred = videoCodec == VideoCodec::H265
                        ? "application/x-rtp,media=video,encoding-name=H265,clock-rate=90000"
                        : "application/x-rtp,media=video,encoding-name=H264,clock-rate=90000";
    }
    g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY, nullptr);
    // A lost video packet is asked for again when the sender can retransmit it: the answer
    // then keeps NACK feedback and takes the offer's rtx format. Audio never waits for one.
    if (mediaKind == "video" && retransmission) {
        g_object_set(transceiver, "do-nack", TRUE, nullptr);
    }
    if (preferred) {
        glib::CapsPtr caps(gst_caps_from_string(preferred));
        g_object_set(transceiver, "codec-preferences", caps.get(), nullptr);
    }
}

std::string Negotiation::midAt(unsigned mline) const {
    std::lock_guard lock(sdpMutex);
    if (mline < remoteMedia.size() && !remoteMedia[mline].mid.empty()) {
        return remoteMedia[mline].mid;
    }
    return std::to_string(mline);
}

std::vector<sdp::Media> Negotiation::media() const {
    std::lock_guard lock(sdpMutex);
    return remoteMedia;
}

void Negotiation::localCandidate(unsigned mline, const char* text) {
    if (!text || !*text) {
        return;
    }
    Candidate candidate(text, midAt(mline));
    {
        std::lock_guard lock(candidateMutex);
        heldCandidates.push_back(std::move(candidate));
    }
    drainCandidates();
}

// Hands held candidates on in order, once the answer is out; one thread drains at a time.
void Negotiation::drainCandidates() {
    std::unique_lock lock(candidateMutex);
    if (!descriptionDelivered || draining) {
        return;
    }
    draining = true;
    while (!heldCandidates.empty()) {
        Candidate next = std::move(heldCandidates.front());
        heldCandidates.pop_front();
        lock.unlock();
        deliverCandidate(std::move(next));
        lock.lock();
    }
    draining = false;
}

}  // namespace rtc
