#include "session/SignalingPoller.hpp"

#include <algorithm>
#include <exception>
#include <limits>
#include <stdexcept>
#include <thread>

#include "base/SafeText.hpp"
#include "session/SessionTexts.hpp"

namespace {

// Ids must be numbers that fit a signed 32-bit integer. The JSON library would also accept
// booleans and silently wrap or overflow large values; an id that cannot be compared
// faithfully is treated like a missing one.
std::int32_t eventId(const nlohmann::json& event) {
    const auto& id = event.at("id");
    if (!id.is_number()) {
        throw std::invalid_argument(std::string("event id must be a number, but is ") +
                                    id.type_name());
    }
    constexpr double low = std::numeric_limits<std::int32_t>::min();
    constexpr double high = std::numeric_limits<std::int32_t>::max();
    if (id.is_number_float()) {
        double value = id.get<double>();
        if (!(value >= low && value < high + 1.0)) {
            throw std::out_of_range("event id " + id.dump() + " is out of range");
        }
        return static_cast<std::int32_t>(value);
    }
    if (id.is_number_unsigned()) {
        auto value = id.get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(high)) {
            throw std::out_of_range("event id " + id.dump() + " is out of range");
        }
        return static_cast<std::int32_t>(value);
    }
    auto value = id.get<std::int64_t>();
    if (value < static_cast<std::int64_t>(low) || value > static_cast<std::int64_t>(high)) {
        throw std::out_of_range("event id " + id.dump() + " is out of range");
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

void applyEventsReply(const nlohmann::json& reply, rtc::PeerConnection& peer,
                      SignalingPollState& state) {
    const auto& events = reply.at("events");
    if (events.is_null()) {
        return;
    }
    if (!events.is_array()) {
        throw std::invalid_argument(std::string("events must be an array, but is ") +
                                    events.type_name());
    }
    for (const auto& event : events) {
        // Before anything else, so a failing event is not fetched again.
        state.after = std::max(state.after, eventId(event));

        const auto type = event.at("type").get<std::string>();
        if (type == "local_description" && !state.remoteDescriptionApplied) {
            auto sdpType = event.at("sdpType").get<std::string>();
            auto sdp = event.at("sdp").get<std::string>();
            peer.setRemoteDescription(rtc::Description(sdp, sdpType));
            state.remoteDescriptionApplied = true;
        } else if (type == "local_candidate") {
            auto found = event.find("mid");
            auto mid = found == event.end() ? std::string("video") : found->get<std::string>();
            auto candidate = event.at("candidate").get<std::string>();
            peer.addRemoteCandidate(rtc::Candidate(candidate, mid));
        }
        // Anything else, later offers included, only moves `after`.
    }
}

void SignalingPoller::pollOnce() {
    try {
        auto reply = transport.get(webrtcPath(sessionId, "events") + "?after=" +
                                   std::to_string(pollState.after) + "&viewerId=" + viewerId);
        if (!peerConnection) {
            throw std::logic_error("no peer connection to apply events to");
        }
        applyEventsReply(reply, *peerConnection, pollState);
    } catch (const std::exception& error) {
        if (stopRequested.load()) {
            return;  // a poll cut short by the stop is no signaling failure
        }
        // The message may quote the service's reply: keep it to one harmless console line.
        errors << (sessionText::signalingErrorPrefix + printableLine(error.what()) + "\n")
               << std::flush;
    }
}

void SignalingPoller::pause() {
    // Short slices keep shutdown prompt without a wake-up channel from every place that may
    // set the flag (window, state callback).
    constexpr auto slice = std::chrono::milliseconds(10);
    const auto until = std::chrono::steady_clock::now() + interval;
    while (!stopRequested.load()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= until) {
            return;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(slice, until - now));
    }
}

void SignalingPoller::run() {
    while (!stopRequested.load()) {
        pollOnce();
        pause();
    }
}
