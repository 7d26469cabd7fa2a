#pragma once

// One viewer's side of the game session: the offering peer made for it, and the numbered
// signaling events (the peer's offer and candidates) that the viewer fetches by polling.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "InputEcho.hpp"
#include "MicrophoneMonitor.hpp"
#include "OfferingPeer.hpp"

class RequestRecorder;

// What the signaling side drives of an offering peer: OfferingPeer in the service, fakes in
// tests. Destruction must guarantee that no callback runs afterwards.
class SessionPeer {
  public:
    virtual ~SessionPeer() = default;
    virtual void setRemoteAnswer(const std::string& sdp) = 0;
    virtual bool addRemoteCandidate(const std::string& candidate, const std::string& mid) = 0;
    virtual void setBitrate(std::uint64_t bitsPerSecond) = 0;
    virtual bool sendText(const std::string& label, const std::string& text) = 0;
    virtual void showScene(const SceneState&) {}
    virtual void close() = 0;
};

using PeerFactory =
    std::function<std::unique_ptr<SessionPeer>(const OfferingPeerOptions&, OfferingPeerCallbacks)>;

// One line on standard output per viewer event: "viewer ID connected", "... ended",
// "... replaced by ID".
void tellViewerEvent(const std::string& viewerId, const std::string& what);

// The factory of the real GStreamer peer.
PeerFactory makeOfferingPeerFactory();

class ViewerSession {
  public:
    // sessionLength 0: the session never ends on its own. recorder may be null.
    // Throws whatever the factory throws when the peer cannot be made.
    ViewerSession(std::string viewerId, const PeerFactory& factory,
                  const OfferingPeerOptions& options, std::chrono::seconds sessionLength,
                  RequestRecorder* recorder);
    ~ViewerSession();
    ViewerSession(const ViewerSession&) = delete;
    ViewerSession& operator=(const ViewerSession&) = delete;

    std::string viewerId() const {
        std::lock_guard lock(mutex);
        return id;
    }
    // Hands a session made ahead of its viewer (with an empty id) to the viewer who came.
    void adopt(const std::string& viewerId) {
        std::lock_guard lock(mutex);
        id = viewerId;
    }
    // The events with an id greater than after, oldest first, as a JSON array.
    nlohmann::json eventsAfter(long long after) const;
    // Waits up to limit for the first event, so a new viewer's first poll carries the offer.
    void waitForFirstEvent(std::chrono::milliseconds limit) const;
    // Throws std::runtime_error when the peer refuses the answer.
    void applyAnswer(const std::string& sdp);
    // False when the candidate is not on loopback and was therefore not handed on.
    bool addRemoteCandidate(const std::string& candidate, const std::string& mid);
    void setBitrate(std::uint64_t bitsPerSecond);
    // Disconnected, failed or closed.
    bool ended() const;

  private:
    void addEvent(nlohmann::json event);
    void onStateChange(int state);
    void onTextMessage(const std::string& label, const std::string& text);
    void onBinaryMessage(const std::string& label, const std::vector<std::uint8_t>& data);
    void answerPointer(const nlohmann::json& message);
    void showInput(const nlohmann::json& message);
    void runSessionClock();

    std::string id;  // guarded by mutex
    const std::chrono::seconds sessionLength;
    RequestRecorder* const recorder;

    mutable std::mutex mutex;
    mutable std::condition_variable wake;
    std::vector<nlohmann::json> events;
    long long nextEventId = 1;
    long long videoCandidates = 0;
    std::vector<std::string> bundledMids;  // from the offer's BUNDLE group
    bool connected = false;
    bool peerEnded = false;
    bool stopping = false;
    std::optional<std::chrono::steady_clock::time_point> closeAt;

    MicrophoneMonitor microphone;
    InputEcho echo;            // the scene's reaction to input; has its own lock
    bool cursorShown = false;  // guarded by mutex

    std::unique_ptr<SessionPeer> peer;
    // The peer for replies from callbacks; null until the factory returned and once closing.
    std::atomic<SessionPeer*> replyPeer = nullptr;
    std::thread sessionClock;
};
