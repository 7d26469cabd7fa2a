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

class FakeTrack : public rtc::Track::Impl {
  public:
    explicit FakeTrack(std::string mid, std::string kind = "video")
        : mediaId(std::move(mid)), mediaKind(std::move(kind)) {}

    std::string mid() const override { return mediaId; }
    std::string kind() const override { return mediaKind; }
    void setMediaHandler(std::shared_ptr<rtc::MediaHandler> handler) override;
    void onFrame(std::function<void(rtc::binary, rtc::FrameInfo)> callback) override;
    bool requestKeyframe() override;
    rtc::ReceiveStats receiveStats() const override { return stats; }

    // Engine side: delivers one depacketized frame to the registered callback. False when
    // no callback is registered.
    bool deliver(rtc::binary frame, rtc::FrameInfo info = {});
    std::shared_ptr<rtc::MediaHandler> mediaHandler() const;
    int keyframeRequests() const { return keyframes.load(); }

    bool keyframesSupported = true;
    rtc::ReceiveStats stats;

  private:
    const std::string mediaId;
    const std::string mediaKind;
    mutable std::mutex mutex;
    std::shared_ptr<rtc::MediaHandler> handler;
    std::function<void(rtc::binary, rtc::FrameInfo)> frameCallback;
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
    void close() override;
    void onOpen(std::function<void()> callback) override;
    void onClosed(std::function<void()> callback) override;
    void onMessage(std::function<void(rtc::message_variant)> callback) override;

    // Engine side.
    void remoteOpen();
    void remoteClose();
    void receive(rtc::message_variant data);
    std::vector<rtc::message_variant> sent() const;
    // The sent messages as text, "<binary>" standing for each binary one.
    std::vector<std::string> sentTexts() const;
    bool hasOpenHandler() const;
    bool hasMessageHandler() const;

    // What bufferedAmount reports; the test plays a peer that takes nothing.
    std::atomic<std::size_t> buffered{0};

  private:
    const std::string channelLabel;
    std::atomic<bool> open{false};
    std::atomic<bool> closed{false};
    mutable std::mutex mutex;
    std::vector<rtc::message_variant> sentMessages;
    std::function<void()> openCallback;
    std::function<void()> closedCallback;
    std::function<void(rtc::message_variant)> messageCallback;
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
    void close() override;
    void setRemoteDescription(rtc::Description description) override;
    void addRemoteCandidate(rtc::Candidate candidate) override;
    rtc::PeerConnection::State state() const override { return currentState.load(); }
    void onLocalDescription(std::function<void(rtc::Description)> callback) override;
    void onLocalCandidate(std::function<void(rtc::Candidate)> callback) override;
    void onStateChange(std::function<void(rtc::PeerConnection::State)> callback) override;
    void onTrack(std::function<void(std::shared_ptr<rtc::Track>)> callback) override;
    void onDataChannel(std::function<void(std::shared_ptr<rtc::DataChannel>)> callback) override;

    // Engine side: run the registered callback on the calling thread. Each returns false
    // when nothing is registered (or the connection is closed).
    bool emitLocalDescription(rtc::Description description);
    bool emitLocalCandidate(rtc::Candidate candidate);
    bool emitState(rtc::PeerConnection::State state);
    bool emitTrack(std::shared_ptr<rtc::Track> track);
    bool emitDataChannel(std::shared_ptr<rtc::DataChannel> channel);

    // What the client applied, in order.
    std::vector<rtc::Description> remoteDescriptions() const;
    std::vector<rtc::Candidate> remoteCandidates() const;
    bool isClosed() const { return closed.load(); }

    // When set, the next calls throw this message as std::invalid_argument, as an engine
    // refusing the input would.
    void refuseDescriptions(std::optional<std::string> message);
    void refuseCandidates(std::optional<std::string> message);

  private:
    template <typename Callback>
    Callback callbackCopy(const Callback& callback) const;

    mutable std::mutex mutex;
    std::atomic<bool> closed{false};
    std::atomic<rtc::PeerConnection::State> currentState{rtc::PeerConnection::State::New};
    std::vector<rtc::Description> descriptions;
    std::vector<rtc::Candidate> candidates;
    std::optional<std::string> descriptionRefusal;
    std::optional<std::string> candidateRefusal;
    std::function<void(rtc::Description)> localDescriptionCallback;
    std::function<void(rtc::Candidate)> localCandidateCallback;
    std::function<void(rtc::PeerConnection::State)> stateCallback;
    std::function<void(std::shared_ptr<rtc::Track>)> trackCallback;
    std::function<void(std::shared_ptr<rtc::DataChannel>)> dataChannelCallback;
};

// A public rtc::Track or rtc::DataChannel over a fake, sharing it with the test.
std::shared_ptr<rtc::Track> makeTrack(const std::shared_ptr<FakeTrack>& fake);
std::shared_ptr<rtc::DataChannel> makeDataChannel(const std::shared_ptr<FakeDataChannel>& fake);

}  // namespace fake
