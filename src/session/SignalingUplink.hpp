#pragma once

#include <condition_variable>
#include <mutex>
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
//
// The destructor waits for handlers still running: their requests end promptly once the
// session's stopRequested is set, which the shutdown does before it closes the connection.
class SignalingUplink {
  public:
    SignalingUplink(PeerSession& session, SignalingTransport& transport,
                    const std::string& sessionId, const std::string& viewerId, EventLog& log);
    ~SignalingUplink();
    SignalingUplink(const SignalingUplink&) = delete;
    SignalingUplink& operator=(const SignalingUplink&) = delete;

    // Registers both handlers on the session's connection.
    void attach();

    void onLocalDescription(rtc::Description description);
    void onLocalCandidate(rtc::Candidate candidate);

    static nlohmann::json descriptionMessage(const rtc::Description& description,
                                             const std::string& viewerId);
    static nlohmann::json candidateMessage(const rtc::Candidate& candidate,
                                           const std::string& viewerId);

  private:
    class Running;

    void post(const nlohmann::json& body);
    void reportFailure(const char* message);

    PeerSession& session;
    SignalingTransport& transport;
    const std::string& sessionId;
    const std::string& viewerId;
    EventLog& log;

    std::mutex runningMutex;
    std::condition_variable idle;
    int running = 0;  // handlers inside onLocalDescription or onLocalCandidate
};
