#include "rtc/GstDataChannel.hpp"

#include "rtc/WeakBind.hpp"

namespace rtc {

GstDataChannel::GstDataChannel(GstWebRTCDataChannel* channel, std::shared_ptr<CallbackGate> gate)
    : channel(glib::Ref<GstWebRTCDataChannel>::share(channel)), gate(std::move(gate)) {}

std::shared_ptr<GstDataChannel> GstDataChannel::create(GstWebRTCDataChannel* channel,
                                                       std::shared_ptr<CallbackGate> gate) {
    auto result = std::make_shared<GstDataChannel>(channel, std::move(gate));
    result->connectSignals();
    return result;
}

GstDataChannel::~GstDataChannel() {
    for (gulong id : handlers) {
        g_signal_handler_disconnect(channel.get(), id);
    }
}

void GstDataChannel::connectSignals() {
    const auto weak = weak_from_this();
    GstWebRTCDataChannel* raw = channel.get();
    handlers.push_back(glib::connect<void(GstWebRTCDataChannel*)>(
        raw, "on-open",
        weakBind(weak, [](GstDataChannel& self, GstWebRTCDataChannel*) { self.opened(); })));
    handlers.push_back(glib::connect<void(GstWebRTCDataChannel*)>(
        raw, "on-close",
        weakBind(weak, [](GstDataChannel& self, GstWebRTCDataChannel*) { self.closed(); })));
    handlers.push_back(glib::connect<void(GstWebRTCDataChannel*, const gchar*)>(
        raw, "on-message-string",
        weakBind(weak, [](GstDataChannel& self, GstWebRTCDataChannel*, const gchar* text) {
            self.received(std::string(text ? text : ""));
        })));
    handlers.push_back(glib::connect<void(GstWebRTCDataChannel*, GBytes*)>(
        raw, "on-message-data",
        weakBind(weak, [](GstDataChannel& self, GstWebRTCDataChannel*, GBytes* bytes) {
            gsize size = 0;
            auto* data = static_cast<const byte*>(bytes ? g_bytes_get_data(bytes, &size) : nullptr);
            self.received(data ? binary(data, data + size) : binary());
        })));
}

GstWebRTCDataChannelState GstDataChannel::readyState() const {
    GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
    g_object_get(channel.get(), "ready-state", &state, nullptr);
    return state;
}

std::string GstDataChannel::label() const {
    gchar* text = nullptr;
    g_object_get(channel.get(), "label", &text, nullptr);
    return glib::takeString(text);
}

bool GstDataChannel::isOpen() const {
    return !gate->isClosed() && readyState() == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN;
}

bool GstDataChannel::isClosed() const {
    auto state = readyState();
    return gate->isClosed() || state == GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED ||
           state == GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING;
}

std::size_t GstDataChannel::bufferedAmount() const {
    guint64 amount = 0;
    g_object_get(channel.get(), "buffered-amount", &amount, nullptr);
    return static_cast<std::size_t>(amount);
}

bool GstDataChannel::send(message_variant data) {
    if (!isOpen()) {
        return false;
    }
    GError* rawError = nullptr;
    gboolean sent = FALSE;
    if (auto* text = std::get_if<std::string>(&data)) {
        sent = gst_webrtc_data_channel_send_string_full(channel.get(), text->c_str(), &rawError);
    } else {
        auto& bytes = std::get<binary>(data);
        GBytes* payload = g_bytes_new(bytes.data(), bytes.size());
        sent = gst_webrtc_data_channel_send_data_full(channel.get(), payload, &rawError);
        g_bytes_unref(payload);
    }
    glib::ErrorPtr error(rawError);
    return sent && !error;
}

void GstDataChannel::close() {
    if (readyState() == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) {
        gst_webrtc_data_channel_close(channel.get());
    }
}

void GstDataChannel::onOpen(std::function<void()> callback) {
    bool openNow = readyState() == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN;
    bool fireNow = false;
    {
        std::lock_guard lock(mutex);
        openCallback = callback;
        fireNow = openSeen || openNow;
        openSeen = openSeen || fireNow;
    }
    if (fireNow && callback) {
        gate->run(callback);
    }
}

void GstDataChannel::onClosed(std::function<void()> callback) {
    std::lock_guard lock(mutex);
    closedCallback = std::move(callback);
}

void GstDataChannel::onMessage(std::function<void(message_variant)> callback) {
    std::lock_guard lock(mutex);
    messageCallback = std::move(callback);
}

void GstDataChannel::opened() {
    std::function<void()> callback;
    {
        std::lock_guard lock(mutex);
        if (openSeen) {
            return;
        }
        openSeen = true;
        callback = openCallback;
    }
    if (callback) {
        gate->run(callback);
    }
}

void GstDataChannel::closed() {
    std::function<void()> callback;
    {
        std::lock_guard lock(mutex);
        if (closeSeen) {
            return;
        }
        closeSeen = true;
        callback = closedCallback;
    }
    if (callback) {
        gate->run(callback);
    }
}

void GstDataChannel::received(message_variant message) {
    std::function<void(message_variant)> callback;
    {
        std::lock_guard lock(mutex);
        callback = messageCallback;
    }
    if (callback) {
        gate->run([&] { callback(std::move(message)); });
    }
}

}  // namespace rtc
