#include "session/SignalingUplink.hpp"

#include <exception>
#include <vector>

#include "session/SessionTexts.hpp"

// Marks a handler as running for as long as it touches the uplink's state.
class SignalingUplink::Running {
  public:
    explicit Running(SignalingUplink& uplink) : uplink(uplink) {
        std::lock_guard lock(uplink.runningMutex);
        ++uplink.running;
    }
    ~Running() {
        // Notified under the lock: once the destructor sees no handler, the uplink may be gone.
        std::lock_guard lock(uplink.runningMutex);
        --uplink.running;
        uplink.idle.notify_all();
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

  private:
    SignalingUplink& uplink;
};

SignalingUplink::SignalingUplink(PeerSession& session, SignalingTransport& transport,
                                 const std::string& sessionId, const std::string& viewerId,
                                 EventLog& log)
    : session(session), transport(transport), sessionId(sessionId), viewerId(viewerId), log(log) {}

SignalingUplink::~SignalingUplink() {
    // The engine's own wait at close is bounded; a POST may still be ending here.
    std::unique_lock lock(runningMutex);
    idle.wait(lock, [this] { return running == 0; });
}

void SignalingUplink::attach() {
    session.peerConnection->onLocalDescription(
        [this](rtc::Description description) { onLocalDescription(std::move(description)); });
    session.peerConnection->onLocalCandidate(
        [this](rtc::Candidate candidate) { onLocalCandidate(std::move(candidate)); });
}

nlohmann::json SignalingUplink::descriptionMessage(const rtc::Description& description,
                                                   const std::string& viewerId) {
    return {{"viewerId", viewerId},
            {"type", "set_remote_description"},
            {"sdpType", description.typeString()},
            {"sdp", std::string(description)}};
}

nlohmann::json SignalingUplink::candidateMessage(const rtc::Candidate& candidate,
                                                 const std::string& viewerId) {
    return {{"viewerId", viewerId},
            {"type", "add_remote_candidate"},
            {"candidate", std::string(candidate)},
            {"mid", candidate.mid()}};
}

void SignalingUplink::post(const nlohmann::json& body) {
    transport.postJson(webrtcPath(sessionId, "signal"), body);
}

void SignalingUplink::reportFailure(const char* message) {
    log.write(std::string(sessionText::uplinkErrorLog) + message);
}

void SignalingUplink::onLocalDescription(rtc::Description description) {
    const Running handler(*this);
    try {
        // Without the mutex: candidates keep being held while the answer is on its way.
        post(descriptionMessage(description, viewerId));
    } catch (const std::exception& error) {
        // The flag stays false, so every later candidate is held for good: candidates
        // without the answer would only confuse the server.
        reportFailure(error.what());
        return;
    }
    session.localDescriptionPosted.store(true);

    std::lock_guard lock(session.signalingMutex);
    // Taken out first: after a failed POST the rest must never go up, not even after a
    // repeated description.
    std::vector<rtc::Candidate> held = std::move(session.pendingCandidates);
    session.pendingCandidates.clear();
    try {
        for (const auto& candidate : held) {
            post(candidateMessage(candidate, viewerId));
        }
    } catch (const std::exception& error) {
        reportFailure(error.what());
    }
}

void SignalingUplink::onLocalCandidate(rtc::Candidate candidate) {
    const Running handler(*this);
    std::lock_guard lock(session.signalingMutex);
    if (!session.localDescriptionPosted.load()) {
        session.pendingCandidates.push_back(std::move(candidate));
        return;
    }
    try {
        post(candidateMessage(candidate, viewerId));
    } catch (const std::exception& error) {
        reportFailure(error.what());
    }
}
