#pragma once

// What an engine (or a test fake) implements behind the rtc types. The public types only
// forward to these, so the client's code can be paired with fakes in tests.

#include "rtc/rtc.hpp"

namespace rtc {

class Track::Impl {
  public:
    virtual ~Impl() = default;
    virtual std::string mid() const = 0;
    virtual std::string kind() const = 0;
    virtual void setMediaHandler(std::shared_ptr<MediaHandler> handler) = 0;
    virtual void onFrame(std::function<void(binary data, FrameInfo info)> callback) = 0;
    virtual bool requestKeyframe() = 0;
    virtual ReceiveStats receiveStats() const = 0;
};

class DataChannel::Impl {
  public:
    virtual ~Impl() = default;
    virtual std::string label() const = 0;
    virtual bool isOpen() const = 0;
    virtual bool isClosed() const = 0;
    virtual std::size_t bufferedAmount() const = 0;
    virtual bool send(message_variant data) = 0;
    virtual void close() = 0;
    virtual void onOpen(std::function<void()> callback) = 0;
    virtual void onClosed(std::function<void()> callback) = 0;
    virtual void onMessage(std::function<void(message_variant data)> callback) = 0;
};

class PeerConnection::Impl {
  public:
    virtual ~Impl() = default;
    virtual void close() = 0;
    virtual void setRemoteDescription(Description description) = 0;
    virtual void addRemoteCandidate(Candidate candidate) = 0;
    virtual PeerConnection::State state() const = 0;
    virtual void onLocalDescription(std::function<void(Description)> callback) = 0;
    virtual void onLocalCandidate(std::function<void(Candidate)> callback) = 0;
    virtual void onStateChange(std::function<void(PeerConnection::State)> callback) = 0;
    virtual void onTrack(std::function<void(std::shared_ptr<Track>)> callback) = 0;
    virtual void onDataChannel(std::function<void(std::shared_ptr<DataChannel>)> callback) = 0;
};

// The engine's connection; defined by the engine's implementation files.
std::shared_ptr<PeerConnection::Impl> makeEngineConnection(const Configuration& config);
std::shared_future<void> engineCleanup();

}  // namespace rtc
