#include "OfferNegotiation.hpp"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <stdexcept>

#include "rtc/PromiseWaiter.hpp"
#include "rtc/WeakBind.hpp"
#include "rtc/Webrtcbin.hpp"

namespace {

using namespace std::chrono_literals;

constexpr auto answerTimeout = 10s;

std::vector<std::string> midsOf(const GstSDPMessage* sdp) {
    std::vector<std::string> mids;
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const char* mid = gst_sdp_media_get_attribute_val(gst_sdp_message_get_media(sdp, i), "mid");
        mids.emplace_back(mid ? mid : "");
    }
    return mids;
}

}  // namespace

OfferNegotiation::OfferNegotiation(rtc::glib::Ref<GstElement> webrtc,
                                   std::shared_ptr<rtc::CallbackGate> gate,
                                   const OfferingPeerCallbacks& callbacks)
    : webrtc(std::move(webrtc)), gate(std::move(gate)), callbacks(callbacks) {}

void OfferNegotiation::connectSignals() {
    const auto weak = weak_from_this();
    rtc::glib::connect<void(GstElement*)>(
        webrtc.get(), "on-negotiation-needed",
        rtc::weakBind(weak, [](OfferNegotiation& self, GstElement*) { self.negotiationNeeded(); }));
    rtc::glib::connect<void(GstElement*, guint, gchar*)>(
        webrtc.get(), "on-ice-candidate",
        rtc::weakBind(weak, [](OfferNegotiation& self, GstElement*, guint mline, gchar* text) {
            self.localCandidate(mline, text);
        }));
}

void OfferNegotiation::negotiationNeeded() {
    {
        std::lock_guard lock(mutex);
        if (offerStarted || gate->isClosed()) {
            return;
        }
        offerStarted = true;
    }
    auto created = rtc::weakBind(weak_from_this(), &OfferNegotiation::offerCreated);
    using Created = decltype(created);
    rtc::glib::PromisePtr promise(gst_promise_new_with_change_func(
        [](GstPromise* promise, gpointer data) { rtc::glib::userData<Created>(data)(promise); },
        rtc::glib::newUserData<Created>(std::move(created)), &rtc::glib::freeUserData<Created>));
    g_signal_emit_by_name(webrtc.get(), "create-offer", nullptr, promise.get());
}

void OfferNegotiation::offerCreated(GstPromise* promise) {
    GstWebRTCSessionDescription* raw = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
        const GstStructure* reply = gst_promise_get_reply(promise);
        if (reply) {
            gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &raw, nullptr);
        }
    }
    rtc::glib::DescriptionPtr offer(raw);
    if (!offer) {
        return;
    }
    auto applied = std::make_shared<rtc::PromiseWaiter>();
    {
        std::lock_guard lock(mutex);
        mids = midsOf(offer->sdp);
        offerSet = applied;
    }
    std::string sdp = rtc::glib::takeString(gst_sdp_message_as_text(offer->sdp));
    // The offer goes out before gathering starts, so no candidate can overtake it.
    gate->run([&] {
        if (callbacks.onLocalDescription) {
            callbacks.onLocalDescription("offer", sdp);
        }
    });
    g_signal_emit_by_name(webrtc.get(), "set-local-description", offer.get(), applied->get());
}

void OfferNegotiation::localCandidate(guint mline, const gchar* candidate) {
    std::optional<std::string> mid;
    {
        std::lock_guard lock(mutex);
        if (mline < mids.size()) {
            mid = mids[mline];
        }
    }
    std::string text = candidate ? candidate : "";
    gate->run([&] {
        if (callbacks.onLocalCandidate && !text.empty()) {
            callbacks.onLocalCandidate(text, mid);
        }
    });
}

void OfferNegotiation::setRemoteAnswer(const std::string& sdp) {
    if (gate->isClosed()) {
        throw std::runtime_error("The offering peer is closed");
    }
    GstSDPMessage* message = nullptr;
    gst_sdp_message_new_from_text(sdp.c_str(), &message);
    if (!message || gst_sdp_message_medias_len(message) == 0) {
        if (message) {
            gst_sdp_message_free(message);
        }
        throw std::runtime_error("The answer is not a session description");
    }
    rtc::glib::DescriptionPtr answer(
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, message));
    // A quick viewer can answer before the engine has taken its own offer, which it would
    // then refuse as out of order.
    std::shared_ptr<rtc::PromiseWaiter> offered;
    {
        std::lock_guard lock(mutex);
        offered = offerSet;
    }
    if (offered && !offered->settle(answerTimeout)) {
        throw std::runtime_error("Setting the offer timed out");
    }

    rtc::PromiseWaiter applied;
    g_signal_emit_by_name(webrtc.get(), "set-remote-description", answer.get(), applied.get());
    answer.reset();
    if (!applied.settle(answerTimeout)) {
        throw std::runtime_error("Applying the answer timed out");
    }
    if (auto error = applied.replyError()) {
        throw std::runtime_error("The answer was refused: " + *error);
    }
}

bool OfferNegotiation::addRemoteCandidate(const std::string& candidate, const std::string& mid) {
    std::string text = candidate.starts_with("a=") ? candidate.substr(2) : candidate;
    // candidate:<foundation> <component> <transport> <priority> <address> <port> typ ...
    std::istringstream fields(text);
    std::string foundation, component, transport, priority, address;
    fields >> foundation >> component >> transport >> priority >> address;
    if (!foundation.starts_with("candidate:") || !address.starts_with("127.")) {
        return false;
    }
    guint mline = 0;
    {
        std::lock_guard lock(mutex);
        auto found = std::find(mids.begin(), mids.end(), mid);
        if (found == mids.end() || gate->isClosed()) {
            return false;
        }
        mline = static_cast<guint>(found - mids.begin());
    }
    g_signal_emit_by_name(webrtc.get(), "add-ice-candidate", mline, text.c_str());
    return true;
}
