#include "OfferedChannels.hpp"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr auto channelCloseTimeout = 1s;

GstWebRTCDataChannelState stateOf(GstWebRTCDataChannel* channel) {
    GstWebRTCDataChannelState value = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
    g_object_get(channel, "ready-state", &value, nullptr);
    return value;
}

}  // namespace

OfferedChannels::OfferedChannels(std::shared_ptr<rtc::CallbackGate> gate,
                                 const OfferingPeerCallbacks& callbacks)
    : gate(std::move(gate)), callbacks(callbacks) {}

void OfferedChannels::create(GstElement* webrtc, const char* label, GstStructure* options) {
    GstWebRTCDataChannel* raw = nullptr;
    g_signal_emit_by_name(webrtc, "create-data-channel", label, options, &raw);
    if (!raw) {
        throw std::runtime_error(std::string("Cannot create the data channel ") + label);
    }
    auto handle = rtc::glib::Ref<GstWebRTCDataChannel>::adopt(raw);
    auto wrapped = rtc::GstDataChannel::create(raw, gate);
    const std::string name = label;
    wrapped->onOpen([opened = callbacks.onChannelOpen, name] {
        if (opened) {
            opened(name);
        }
    });
    wrapped->onMessage([text = callbacks.onTextMessage, binary = callbacks.onBinaryMessage,
                        name](rtc::message_variant message) {
        if (auto* received = std::get_if<std::string>(&message)) {
            if (text) {
                text(name, *received);
            }
        } else if (binary) {
            const auto& bytes = std::get<rtc::binary>(message);
            const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
            binary(name, std::vector<std::uint8_t>(data, data + bytes.size()));
        }
    });
    std::lock_guard lock(mutex);
    channels[name] = Channel{std::move(handle), std::move(wrapped)};
}

std::shared_ptr<rtc::GstDataChannel> OfferedChannels::find(const std::string& label) const {
    std::lock_guard lock(mutex);
    auto found = channels.find(label);
    return found == channels.end() ? nullptr : found->second.wrapped;
}

bool OfferedChannels::send(const std::string& label, rtc::message_variant message) {
    auto channel = find(label);
    return channel && channel->send(std::move(message));
}

bool OfferedChannels::close(const std::string& label) {
    auto channel = find(label);
    if (!channel || !channel->isOpen()) {
        return false;
    }
    channel->close();
    return true;
}

OfferedChannels::Handles OfferedChannels::handles() const {
    Handles all;
    std::lock_guard lock(mutex);
    for (const auto& [label, channel] : channels) {
        all.push_back(channel.handle);
    }
    return all;
}

void OfferedChannels::closeAll(const Handles& channels) {
    for (const auto& channel : channels) {
        if (stateOf(channel.get()) == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) {
            gst_webrtc_data_channel_close(channel.get());
        }
    }
    auto deadline = std::chrono::steady_clock::now() + channelCloseTimeout;
    auto allClosed = [&] {
        for (const auto& channel : channels) {
            if (stateOf(channel.get()) == GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING) {
                return false;
            }
        }
        return true;
    };
    while (!allClosed() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
}
