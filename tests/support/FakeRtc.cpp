#include "support/FakeRtc.hpp"

#include <stdexcept>

namespace fake {

void FakeTrack::setMediaHandler(std::shared_ptr<rtc::MediaHandler> newHandler) {
    std::lock_guard lock(mutex);
    handler = std::move(newHandler);
}

void FakeTrack::onFrame(std::function<void(rtc::binary, rtc::FrameInfo)> callback) {
    std::lock_guard lock(mutex);
    frameCallback = std::move(callback);
}

bool FakeTrack::requestKeyframe() {
    if (!keyframesSupported) {
        return false;
    }
    keyframes.fetch_add(1);
    return true;
}

bool FakeTrack::deliver(rtc::binary frame, rtc::FrameInfo info) {
    std::function<void(rtc::binary, rtc::FrameInfo)> callback;
    {
        std::lock_guard lock(mutex);
        callback = frameCallback;
    }
    if (!callback) {
        return false;
    }
    callback(std::move(frame), info);
    return true;
}

std::shared_ptr<rtc::MediaHandler> FakeTrack::mediaHandler() const {
    std::lock_guard lock(mutex);
    return handler;
}

bool FakeDataChannel::send(rtc::message_variant data) {
    if (!open.load()) {
        return false;
    }
    std::lock_guard lock(mutex);
    sentMessages.push_back(std::move(data));
    return true;
}

void FakeDataChannel::close() {
    remoteClose();
}

void FakeDataChannel::onOpen(std::function<void()> callback) {
    {
        std::lock_guard lock(mutex);
        openCallback = callback;
    }
    if (open.load() && callback) {
        callback();
    }
}

void FakeDataChannel::onClosed(std::function<void()> callback) {
    std::lock_guard lock(mutex);
    closedCallback = std::move(callback);
}

void FakeDataChannel::onMessage(std::function<void(rtc::message_variant)> callback) {
    std::lock_guard lock(mutex);
    messageCallback = std::move(callback);
}

void FakeDataChannel::remoteOpen() {
    open.store(true);
    std::function<void()> callback;
    {
        std::lock_guard lock(mutex);
        callback = openCallback;
    }
    if (callback) {
        callback();
    }
}

void FakeDataChannel::remoteClose() {
    open.store(false);
    if (closed.exchange(true)) {
        return;
    }
    std::function<void()> callback;
    {
        std::lock_guard lock(mutex);
        callback = closedCallback;
    }
    if (callback) {
        callback();
    }
}

void FakeDataChannel::receive(rtc::message_variant data) {
    std::function<void(rtc::message_variant)> callback;
    {
        std::lock_guard lock(mutex);
        callback = messageCallback;
    }
    if (callback) {
        callback(std::move(data));
    }
}

std::vector<rtc::message_variant> FakeDataChannel::sent() const {
    std::lock_guard lock(mutex);
    return sentMessages;
}

std::vector<std::string> FakeDataChannel::sentTexts() const {
    std::vector<std::string> texts;
    for (const auto& message : sent()) {
        const auto* text = std::get_if<std::string>(&message);
        texts.push_back(text ? *text : "<binary>");
    }
    return texts;
}

bool FakeDataChannel::hasMessageHandler() const {
    std::lock_guard lock(mutex);
    return static_cast<bool>(messageCallback);
}

bool FakeDataChannel::hasOpenHandler() const {
    std::lock_guard lock(mutex);
    return static_cast<bool>(openCallback);
}

void FakePeer::close() {
    closed.store(true);
    currentState.store(rtc::PeerConnection::State::Closed);
}

void FakePeer::setRemoteDescription(rtc::Description description) {
    std::lock_guard lock(mutex);
    if (descriptionRefusal) {
        throw std::invalid_argument(*descriptionRefusal);
    }
    descriptions.push_back(std::move(description));
}

void FakePeer::addRemoteCandidate(rtc::Candidate candidate) {
    std::lock_guard lock(mutex);
    if (candidateRefusal) {
        throw std::invalid_argument(*candidateRefusal);
    }
    candidates.push_back(std::move(candidate));
}

void FakePeer::onLocalDescription(std::function<void(rtc::Description)> callback) {
    std::lock_guard lock(mutex);
    localDescriptionCallback = std::move(callback);
}

void FakePeer::onLocalCandidate(std::function<void(rtc::Candidate)> callback) {
    std::lock_guard lock(mutex);
    localCandidateCallback = std::move(callback);
}

void FakePeer::onStateChange(std::function<void(rtc::PeerConnection::State)> callback) {
    std::lock_guard lock(mutex);
    stateCallback = std::move(callback);
}

void FakePeer::onTrack(std::function<void(std::shared_ptr<rtc::Track>)> callback) {
    std::lock_guard lock(mutex);
    trackCallback = std::move(callback);
}

void FakePeer::onDataChannel(std::function<void(std::shared_ptr<rtc::DataChannel>)> callback) {
    std::lock_guard lock(mutex);
    dataChannelCallback = std::move(callback);
}

template <typename Callback>
Callback FakePeer::callbackCopy(const Callback& callback) const {
    std::lock_guard lock(mutex);
    return closed.load() ? Callback() : callback;
}

bool FakePeer::emitLocalDescription(rtc::Description description) {
    auto callback = callbackCopy(localDescriptionCallback);
    if (!callback) {
        return false;
    }
    callback(std::move(description));
    return true;
}

bool FakePeer::emitLocalCandidate(rtc::Candidate candidate) {
    auto callback = callbackCopy(localCandidateCallback);
    if (!callback) {
        return false;
    }
    callback(std::move(candidate));
    return true;
}

bool FakePeer::emitState(rtc::PeerConnection::State state) {
    currentState.store(state);
    auto callback = callbackCopy(stateCallback);
    if (!callback) {
        return false;
    }
    callback(state);
    return true;
}

bool FakePeer::emitTrack(std::shared_ptr<rtc::Track> track) {
    auto callback = callbackCopy(trackCallback);
    if (!callback) {
        return false;
    }
    callback(std::move(track));
    return true;
}

bool FakePeer::emitDataChannel(std::shared_ptr<rtc::DataChannel> channel) {
    auto callback = callbackCopy(dataChannelCallback);
    if (!callback) {
        return false;
    }
    callback(std::move(channel));
    return true;
}

std::vector<rtc::Description> FakePeer::remoteDescriptions() const {
    std::lock_guard lock(mutex);
    return descriptions;
}

std::vector<rtc::Candidate> FakePeer::remoteCandidates() const {
    std::lock_guard lock(mutex);
    return candidates;
}

void FakePeer::refuseDescriptions(std::optional<std::string> message) {
    std::lock_guard lock(mutex);
    descriptionRefusal = std::move(message);
}

void FakePeer::refuseCandidates(std::optional<std::string> message) {
    std::lock_guard lock(mutex);
    candidateRefusal = std::move(message);
}

std::shared_ptr<rtc::Track> makeTrack(const std::shared_ptr<FakeTrack>& fake) {
    return std::make_shared<rtc::Track>(fake);
}

std::shared_ptr<rtc::DataChannel> makeDataChannel(const std::shared_ptr<FakeDataChannel>& fake) {
    return std::make_shared<rtc::DataChannel>(fake);
}

}  // namespace fake
