#pragma once

// In-process stand-ins for the engine behind the rtc types. A test builds
// `rtc::PeerConnection pc(fake)` from a shared FakePeer, registers the client's callbacks on
// `pc`, then plays the engine's part: emitting local descriptions, candidates, states,
// tracks and channels, and reading back what the client applied or sent.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "rtc/Impl.hpp"

namespace fake {

// A callback of the client's, copied out under the lock and run outside it, on the calling
// thread, as the engine's threads run them.
template <typename... Args>
class Slot {
  public:
    void set(std::function<void(Args...)> callback) {
        std::lock_guard lock(mutex);
        function = std::move(callback);
    }
    std::function<void(Args...)> get() const {
        std::lock_guard lock(mutex);
        return function;
    }
    // False when nothing is registered.
    bool operator()(Args... args) const {
        auto callback = get();
        if (callback) {
            callback(std::move(args)...);
        }
        return static_cast<bool>(callback);
    }

  private:
    mutable std::mutex mutex;
    std::function<void(Args...)> function;
};

class FakeTrack : public rtc::Track::Impl {
  public:
    explicit FakeTrack(std::string mid) : mediaId(std::move(mid)) {}

    std::string mid() const override { return mediaId; }
    std::string kind() const override { return "video"; }
    void setMediaHandler(std::shared_ptr<rtc::MediaHandler> handler) override {
        std::lock_guard lock(mutex);
        mediaHandlerSet = std::move(handler);
    }
    void onFrame(std::function<void(rtc::binary, rtc::FrameInfo)> callback) override {
        frames.set(std::move(callback));
    }
    bool requestKeyframe() override {
        keyframes += keyframesSupported ? 1 : 0;
        return keyframesSupported;
    }
    rtc::ReceiveStats receiveStats() const override { return stats; }

    // Engine side: delivers one depacketized frame; false when no callback is registered.
    bool deliver(rtc::binary frame, rtc::FrameInfo info = {}) {
        return frames(std::move(frame), info);
    }
    std::shared_ptr<rtc::MediaHandler> mediaHandler() const {
        std::lock_guard lock(mutex);
        return mediaHandlerSet;
    }
    int keyframeRequests() const { return keyframes.load(); }

    bool keyframesSupported = true;
    rtc::ReceiveStats stats;

  private:
    const std::string mediaId;
    mutable std::mutex mutex;
    std::shared_ptr<rtc::MediaHandler> mediaHandlerSet;
    Slot<rtc::binary, rtc::FrameInfo> frames;
    std::atomic<int> keyframes{0};
};

class FakeDataChannel : public rtc::DataChannel::Impl {
  public:
    explicit FakeDataChannel(std::string label) : channelLabel(std::move(label)) {}

    std::string label() const override { return channelLabel; }
    bool isOpen() const override { return open.load(); }
    bool isClosed() const override { return closed.load(); }
    std::size_t bufferedAmount() const override { return buffered.load(); }
    bool send(rtc::message_variant data) override;
    // Closing either side closes both, and says so once, unless the peer never confirms.
    void close() override {
        open = false;
        if (confirmsClose && !closed.exchange(true)) {
            closedSlot();
        }
    }
    // Registered while open, it runs at once, as the engine would tell of an open channel.
    void onOpen(std::function<void()> callback) override {
        openSlot.set(callback);
        if (open && callback) {
            callback();
        }
    }
    void onClosed(std::function<void()> callback) override { closedSlot.set(std::move(callback)); }
    void onMessage(std::function<void(rtc::message_variant)> callback) override {
        messageSlot.set(std::move(callback));
    }

    // Engine side.
    void remoteOpen() {
        open = true;
        openSlot();
    }
    void receive(rtc::message_variant data) { messageSlot(std::move(data)); }
    std::vector<rtc::message_variant> sent() const {
        std::lock_guard lock(mutex);
        return sentMessages;
    }
    // The sent messages as text, "<binary>" standing for each binary one.
    std::vector<std::string> sentTexts() const;

    // What bufferedAmount reports; the test plays a peer that takes nothing.
    std::atomic<std::size_t> buffered{0};
    std::atomic<bool> confirmsClose{true};

  private:
    const std::string channelLabel;
    std::atomic<bool> open{false};
    std::atomic<bool> closed{false};
    mutable std::mutex mutex;
    std::vector<rtc::message_variant> sentMessages;
    Slot<> openSlot, closedSlot;
    Slot<rtc::message_variant> messageSlot;
};

// A fake channel together with the rtc::DataChannel the client's code is handed.
struct FakeChannelPair {
    explicit FakeChannelPair(const std::string& label)
        : fake(std::make_shared<FakeDataChannel>(label)),
          channel(std::make_shared<rtc::DataChannel>(fake)) {}
    std::shared_ptr<FakeDataChannel> fake;
    std::shared_ptr<rtc::DataChannel> channel;
};

class FakePeer : public rtc::PeerConnection::Impl {
  public:
    using State = rtc::PeerConnection::State;

    void close() override {
        closed = true;
        currentState = State::Closed;
    }
    void setRemoteDescription(rtc::Description description) override;
    void addRemoteCandidate(rtc::Candidate candidate) override;
    State state() const override { return currentState.load(); }
    void onLocalDescription(std::function<void(rtc::Description)> callback) override {
        descriptionSlot.set(std::move(callback));
    }
    void onLocalCandidate(std::function<void(rtc::Candidate)> callback) override {
        candidateSlot.set(std::move(callback));
    }
    void onStateChange(std::function<void(State)>) override {}
    void onTrack(std::function<void(std::shared_ptr<rtc::Track>)> callback) override {
        trackSlot.set(std::move(callback));
    }
    void onDataChannel(std::function<void(std::shared_ptr<rtc::DataChannel>)>) override {}

    // Engine side: run the registered callback on the calling thread. Each returns false
    // when nothing is registered or the connection is closed.
    bool emitLocalDescription(rtc::Description description) {
        return !closed && descriptionSlot(std::move(description));
    }
    bool emitLocalCandidate(rtc::Candidate candidate) {
        return !closed && candidateSlot(std::move(candidate));
    }
    bool emitTrack(std::shared_ptr<rtc::Track> track) {
        return !closed && trackSlot(std::move(track));
    }

    // What the client applied, in order.
    std::vector<rtc::Description> remoteDescriptions() const {
        std::lock_guard lock(mutex);
        return descriptions;
    }
    std::vector<rtc::Candidate> remoteCandidates() const {
        std::lock_guard lock(mutex);
        return candidates;
    }

    // When set, the next calls throw this message as std::invalid_argument, as an engine
    // refusing the input would.
    void refuseDescriptions(std::optional<std::string> message) {
        std::lock_guard lock(mutex);
        descriptionRefusal = std::move(message);
    }
    void refuseCandidates(std::optional<std::string> message) {
        std::lock_guard lock(mutex);
        candidateRefusal = std::move(message);
    }

  private:
    mutable std::mutex mutex;
    std::atomic<bool> closed{false};
    std::atomic<State> currentState{State::New};
    std::vector<rtc::Description> descriptions;
    std::vector<rtc::Candidate> candidates;
    std::optional<std::string> descriptionRefusal;
    std::optional<std::string> candidateRefusal;
    Slot<rtc::Description> descriptionSlot;
    Slot<rtc::Candidate> candidateSlot;
    Slot<std::shared_ptr<rtc::Track>> trackSlot;
};

}  // namespace fake
