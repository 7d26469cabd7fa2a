#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "rtc/rtc.hpp"
#include "session/SignalingTransport.hpp"

// How far the poller has come; belongs to the polling thread alone.
struct SignalingPollState {
    std::int32_t after = 0;  // highest event id seen
    bool remoteDescriptionApplied = false;
};

// Applies one events reply to the connection: the server's offer (the first one only) and
// its candidates. `state` is updated as it goes, so whatever was reached before an
// exception stays reached: an event with a good id moves `after` even when its handling
// throws. Throws the JSON library's or the rtc layer's exceptions; events after the failing
// one are not looked at.
void applyEventsReply(const nlohmann::json& reply, rtc::PeerConnection& peer,
                      SignalingPollState& state);

// The thread that fetches the server's signaling events every 500 ms until stopRequested.
// Failures are written to the error stream as "Signaling: " + message, one line per cycle,
// and the next cycle asks again; a request that the stop cut short is not reported.
class SignalingPoller {
  public:
    static constexpr std::chrono::milliseconds interval{500};

    SignalingPoller(std::atomic<bool>& stopRequested, SignalingTransport& transport,
                    const std::string& sessionId, const std::string& viewerId,
                    std::shared_ptr<rtc::PeerConnection>& peerConnection,
                    std::ostream& errors = std::cerr)
        : stopRequested(stopRequested),
          transport(transport),
          sessionId(sessionId),
          viewerId(viewerId),
          peerConnection(peerConnection),
          errors(errors) {}

    // Thread body. Leaves within a short slice of the pause once stopRequested is set; a
    // request in flight is finished first (the client's requests end at the stop too).
    void run();

    // One request and its events; never throws.
    void pollOnce();

    const SignalingPollState& state() const { return pollState; }

  private:
    void pause();

    std::atomic<bool>& stopRequested;
    SignalingTransport& transport;
    const std::string& sessionId;
    const std::string& viewerId;
    std::shared_ptr<rtc::PeerConnection>& peerConnection;
    std::ostream& errors;
    SignalingPollState pollState;
};
