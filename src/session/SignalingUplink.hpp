#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "base/EventLog.hpp"
#include "rtc/rtc.hpp"
#include "session/PeerSession.hpp"
#include "session/SignalingTransport.hpp"

// Sends the client's answer and candidates to the service. No candidate goes up before the
// answer: earlier ones wait in the session's pendingCandidates and follow it in arrival order.
//
// Both handlers run on the engine's threads and block on HTTP. A failed POST ends the
// handler at that point and is written to the log as "signaling_error=" + message; it is
// never retried and never escapes into the engine.
class SignalingUplink {
  public:
    SignalingUplink(PeerSession& session, SignalingTransport& transport,
                    const std::string& sessionId, const std::string& viewerId, EventLog& log);

    // Registers both handlers on the session's connection.
    void attach();

    void onLocalDescription(rtc::Description description);
    void onLocalCandidate(rtc::Candidate candidate);

    static nlohmann::json descriptionMessage(const rtc::Description& description,
                                             const std::string& viewerId);
    static nlohmann::json candidateMessage(const rtc::Candidate& candidate,
                                           const std::string& viewerId);

  private:
    void post(const nlohmann::json& body);
    void reportFailure(const char* message);

    PeerSession& session;
    SignalingTransport& transport;
    const std::string& sessionId;
    const std::string& viewerId;
    EventLog& log;
};
