#pragma once

// A data channel on webrtcbin behind the rtc::DataChannel interface: one the remote peer
// opened for the client, or one the stand-in service's offering peer created.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rtc/CallbackGate.hpp"
#include "rtc/Glib.hpp"
#include "rtc/Impl.hpp"
#include "rtc/Webrtcbin.hpp"

namespace rtc {

class GstDataChannel : public DataChannel::Impl,
                       public std::enable_shared_from_this<GstDataChannel> {
  public:
    // Use create(): the signal handlers need a weak reference to the object.
    GstDataChannel(GstWebRTCDataChannel* channel, std::shared_ptr<CallbackGate> gate);
    static std::shared_ptr<GstDataChannel> create(GstWebRTCDataChannel* channel,
                                                  std::shared_ptr<CallbackGate> gate);
    ~GstDataChannel() override;

    std::string label() const override;
    bool isOpen() const override;
    bool isClosed() const override;
    std::size_t bufferedAmount() const override;
    bool send(message_variant data) override;
    void close() override;
    void onOpen(std::function<void()> callback) override;
    void onClosed(std::function<void()> callback) override;
    void onMessage(std::function<void(message_variant data)> callback) override;

  private:
    void connectSignals();
    void opened();
    void closed();
    void received(message_variant message);
    GstWebRTCDataChannelState readyState() const;

    const glib::Ref<GstWebRTCDataChannel> channel;
    const std::shared_ptr<CallbackGate> gate;
    std::vector<gulong> handlers;

    mutable std::mutex mutex;
    bool openSeen = false;
    bool closeSeen = false;
    std::function<void()> openCallback;
    std::function<void()> closedCallback;
    std::function<void(message_variant)> messageCallback;
};

}  // namespace rtc
