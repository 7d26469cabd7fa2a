#include "ViewerSession.hpp"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "LoopbackCandidates.hpp"
#include "RequestRecorder.hpp"

namespace {

constexpr int stateConnected = 2;
constexpr int stateDisconnected = 3;

// The mids of the description's BUNDLE group; empty when there is none.
std::vector<std::string> bundleGroup(const std::string& sdp) {
    const std::string tag = "a=group:BUNDLE ";
    std::size_t at = sdp.find(tag);
    if (at == std::string::npos) {
        return {};
    }
    std::size_t end = sdp.find_first_of("\r\n", at);
    std::istringstream mids(sdp.substr(at + tag.size(), end - at - tag.size()));
    std::vector<std::string> group;
    for (std::string mid; mids >> mid;) {
        group.push_back(mid);
    }
    return group;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::string hexOfFirstBytes(const std::vector<std::uint8_t>& data, std::size_t count) {
    std::ostringstream hex;
    for (std::size_t i = 0; i < data.size() && i < count; ++i) {
        hex << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(data[i]);
    }
    return hex.str();
}

}  // namespace

ViewerSession::ViewerSession(std::string viewerId, const PeerFactory& factory,
                             const OfferingPeerOptions& options, std::chrono::seconds sessionLength,
                             RequestRecorder* recorder)
    : id(std::move(viewerId)), sessionLength(sessionLength), recorder(recorder) {
    // The callbacks run on the peer's threads, possibly before the factory returns; they
    // touch only what the mutex guards and the recorder, never `peer`.
    OfferingPeerCallbacks callbacks;
    callbacks.onLocalDescription = [this](const std::string& type, const std::string& sdp) {
        {
            std::lock_guard lock(mutex);
            bundledMids = bundleGroup(sdp);
        }
        addEvent({{"type", "local_description"}, {"sdpType", type}, {"sdp", sdp}});
    };
    callbacks.onLocalCandidate = [this](const std::string& candidate,
                                        const std::optional<std::string>& mid) {
        nlohmann::json event = {{"type", "local_candidate"}, {"candidate", candidate}};
        bool keepMid = mid.has_value();
        if (mid) {
            // Every second video candidate goes without its mid: viewers must default it to
            // "video". Under BUNDLE every bundled section shares one transport, so a candidate
            // of another bundled section is a video candidate as well.
            std::lock_guard lock(mutex);
            bool video =
                *mid == "video" || (contains(bundledMids, *mid) && contains(bundledMids, "video"));
            if (video) {
                keepMid = videoCandidates++ % 2 == 0;
            }
        }
        if (keepMid) {
            event["mid"] = *mid;
        }
        addEvent(std::move(event));
    };
    callbacks.onStateChange = [this](int state) { onStateChange(state); };
    callbacks.onTextMessage = [this](const std::string& label, const std::string& text) {
        onTextMessage(label, text);
    };
    callbacks.onBinaryMessage = [this](const std::string& label,
                                       const std::vector<std::uint8_t>& data) {
        onBinaryMessage(label, data);
    };
    callbacks.onKeyFrameForced = [this](std::uint64_t count) {
        if (this->recorder) {
            this->recorder->write({{"keyframesForced", count}});
        }
    };
    peer = factory(options, std::move(callbacks));
    replyPeer = peer.get();
    if (sessionLength.count() > 0) {
        sessionClock = std::thread([this] { runSessionClock(); });
    }
}

ViewerSession::~ViewerSession() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (sessionClock.joinable()) {
        sessionClock.join();
    }
    replyPeer = nullptr;
    // First, so that no callback can reach the members below once they go.
    peer.reset();
}

nlohmann::json ViewerSession::eventsAfter(long long after) const {
    nlohmann::json list = nlohmann::json::array();
    std::lock_guard lock(mutex);
    for (const nlohmann::json& event : events) {
        if (event["id"].get<long long>() > after) {
            list.push_back(event);
        }
    }
    return list;
}

void ViewerSession::waitForFirstEvent(std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex);
    wake.wait_for(lock, limit, [this] { return !events.empty() || stopping; });
}

void ViewerSession::applyAnswer(const std::string& sdp) {
    peer->setRemoteAnswer(withoutForeignCandidates(sdp));
}

bool ViewerSession::addRemoteCandidate(const std::string& candidate, const std::string& mid) {
    // Only loopback candidates reach the peer, so no packet ever leaves this machine's lo.
    if (!isLoopbackCandidate(candidate)) {
        return false;
    }
    return peer->addRemoteCandidate(candidate, mid);
}

void ViewerSession::setBitrate(std::uint64_t bitsPerSecond) {
    peer->setBitrate(bitsPerSecond);
}

bool ViewerSession::ended() const {
    std::lock_guard lock(mutex);
    return peerEnded;
}

void ViewerSession::addEvent(nlohmann::json event) {
    std::lock_guard lock(mutex);
    event["id"] = nextEventId++;
    events.push_back(std::move(event));
    wake.notify_all();
}

void ViewerSession::onStateChange(int state) {
    std::lock_guard lock(mutex);
    if (state == stateConnected && !connected) {
        connected = true;
        tellViewerEvent(id, "connected");
    }
    if (state == stateConnected && !closeAt && sessionLength.count() > 0) {
        closeAt = std::chrono::steady_clock::now() + sessionLength;
        wake.notify_all();
    }
    if (state >= stateDisconnected && !peerEnded) {
        peerEnded = true;
        tellViewerEvent(id, "ended");
    }
}

void ViewerSession::onTextMessage(const std::string& label, const std::string& text) {
    if (recorder) {
        recorder->write({{"channel", label}, {"text", text}});
    }
    if (label == "input" || label == "input-fast") {
        nlohmann::json message = nlohmann::json::parse(text, nullptr, false);
        if (message.is_object()) {
            answerPointer(message);
            showInput(message);
        }
    }
}

void ViewerSession::answerPointer(const nlohmann::json& message) {
    // The game's cursor follows the viewer's pointer, and hides while the viewer sends
    // relative motion (the mouse is captured then).
    nlohmann::json cursor;
    const nlohmann::json& type = message["type"];
    if (type == "mouse_move_absolute" && message["x"].is_number_integer() &&
        message["y"].is_number_integer()) {
        std::lock_guard lock(mutex);
        cursorShown = true;
        cursor = {{"type", "cursor"}, {"x", message["x"]}, {"y", message["y"]}, {"visible", true}};
    } else if (type == "mouse_move") {
        std::lock_guard lock(mutex);
        if (!cursorShown) {
            return;
        }
        cursorShown = false;
        cursor = {{"type", "cursor"}, {"visible", false}};
    } else {
        return;
    }
    if (SessionPeer* target = replyPeer.load()) {
        bool sent = target->sendText("input", cursor.dump());
        if (recorder) {
            recorder->write(
                {{"sent", {{"channel", "input"}, {"text", cursor.dump()}, {"ok", sent}}}});
        }
    }
}

void ViewerSession::showInput(const nlohmann::json& message) {
    if (std::optional<SceneState> scene = echo.onMessage(message)) {
        if (SessionPeer* target = replyPeer.load()) {
            target->showScene(*scene);
        }
    }
}

void ViewerSession::onBinaryMessage(const std::string& label,
                                    const std::vector<std::uint8_t>& data) {
    if (recorder) {
        recorder->write({{"channel", label},
                         {"binaryLength", data.size()},
                         {"firstBytes", hexOfFirstBytes(data, 8)}});
    }
    static constexpr std::uint8_t tag[] = {'M', 'I', 'C', '0'};
    if (label == "microphone" && data.size() >= 4 && std::equal(tag, tag + 4, data.begin())) {
        auto summary = microphone.addPacket(data.data() + 4, data.size() - 4);
        if (summary && recorder) {
            recorder->write(*summary);
        }
    }
}

void ViewerSession::runSessionClock() {
    std::unique_lock lock(mutex);
    wake.wait(lock, [this] { return stopping || closeAt.has_value(); });
    if (stopping || wake.wait_until(lock, *closeAt, [this] { return stopping; })) {
        return;
    }
    lock.unlock();
    // The close reports its own state change, which takes the mutex.
    peer->close();
    lock.lock();
    if (!peerEnded) {
        peerEnded = true;
        tellViewerEvent(id, "ended");
    }
}

void tellViewerEvent(const std::string& viewerId, const std::string& what) {
    // One write per line, so that lines of several threads do not interleave.
    std::cout << ("viewer " + viewerId + " " + what + "\n") << std::flush;
}
