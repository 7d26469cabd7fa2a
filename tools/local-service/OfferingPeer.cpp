#include "OfferingPeer.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "OfferNegotiation.hpp"
#include "OfferedChannels.hpp"
#include "OfferedStream.hpp"
#include "rtc/CallbackGate.hpp"
#include "rtc/Glib.hpp"
#include "rtc/IceSetup.hpp"
#include "rtc/WeakBind.hpp"
#include "rtc/Webrtcbin.hpp"

namespace {

using namespace std::chrono_literals;

constexpr auto teardownTimeout = 5s;

int stateNumber(GstWebRTCPeerConnectionState state) {
    return static_cast<int>(state);  // webrtcbin's order is the viewer's order
}

}  // namespace

class OfferingPeer::Impl {
  public:
    Impl(OfferingPeerOptions options, OfferingPeerCallbacks callbacks)
        : options(std::move(options)),
          callbacks(std::move(callbacks)),
          channels(gate, this->callbacks) {}

    ~Impl() {
        close();
        if (teardownThread.joinable()) {
            if (teardownFinished()) {
                teardownThread.join();
            } else {
                teardownThread.detach();  // stuck in GStreamer; it owns what it uses
            }
        }
    }

    void start();
    void close();

    OfferNegotiation& negotiation() { return *offer; }
    OfferedChannels& dataChannels() { return channels; }
    OfferedStream& media() { return *stream; }

  private:
    struct Teardown {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
    };

    void watchConnectionState(GstElement* webrtc);
    bool teardownFinished() {
        std::lock_guard lock(teardown->mutex);
        return teardown->done;
    }

    const OfferingPeerOptions options;
    const OfferingPeerCallbacks callbacks;
    const std::shared_ptr<rtc::CallbackGate> gate = std::make_shared<rtc::CallbackGate>();
    // Shared with the signal handlers, which hold them only weakly.
    std::shared_ptr<OfferedStream> stream;
    std::shared_ptr<OfferNegotiation> offer;
    OfferedChannels channels;

    std::mutex mutex;
    bool closing = false;
    std::shared_ptr<Teardown> teardown = std::make_shared<Teardown>();
    std::thread teardownThread;
};

void OfferingPeer::Impl::start() {
    stream = std::make_shared<OfferedStream>(options, callbacks.onKeyFrameForced);
    GstElement* webrtc = stream->webrtc().get();

    GstWebRTCICE* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    auto iceRef = rtc::glib::Ref<GstWebRTCICE>::adopt(ice);
    g_object_set(ice, "ice-tcp", FALSE, nullptr);
    if (!rtc::gatherOnlyOn(webrtc, options.bindAddress)) {
        throw std::invalid_argument("Cannot gather on \"" + options.bindAddress + "\"");
    }

    offer = std::make_shared<OfferNegotiation>(stream->webrtc(), gate, callbacks);
    offer->connectSignals();
    watchConnectionState(webrtc);

    auto bus =
        rtc::glib::Ref<GstBus>::adopt(gst_pipeline_get_bus(GST_PIPELINE(stream->pipeline().get())));
    gst_bus_set_sync_handler(
        bus.get(), [](GstBus*, GstMessage*, gpointer) { return GST_BUS_DROP; }, nullptr, nullptr);

    // Channels made before the first negotiation land in the first offer, in this order.
    gst_element_set_state(stream->pipeline().get(), GST_STATE_READY);
    channels.create(webrtc, "input", nullptr);
    rtc::glib::StructurePtr fast(gst_structure_new("options", "ordered", G_TYPE_BOOLEAN, FALSE,
                                                   "max-retransmits", G_TYPE_INT, 0, nullptr));
    channels.create(webrtc, "input-fast", fast.get());
    channels.create(webrtc, "microphone", nullptr);

    if (gst_element_set_state(stream->pipeline().get(), GST_STATE_PLAYING) ==
        GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(stream->pipeline().get(), GST_STATE_NULL);
        throw std::runtime_error("The offering pipeline could not start");
    }
}

void OfferingPeer::Impl::watchConnectionState(GstElement* webrtc) {
    auto changed = [gate = gate, report = callbacks.onStateChange](
                       OfferedStream& stream, GstElement* element, GParamSpec*) {
        GstWebRTCPeerConnectionState state;
        g_object_get(element, "connection-state", &state, nullptr);
        if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED && !gate->isClosed()) {
            stream.viewerConnected();
        }
        gate->run([&] {
            if (report) {
                report(stateNumber(state));
            }
        });
    };
    rtc::glib::connect<void(GstElement*, GParamSpec*)>(
        webrtc, "notify::connection-state",
        rtc::weakBind(std::weak_ptr<OfferedStream>(stream), std::move(changed)));
}

void OfferingPeer::Impl::close() {
    {
        std::lock_guard lock(mutex);
        if (closing) {
            return;
        }
        closing = true;
    }
    bool inside = gate->insideCallback();
    gate->close(teardownTimeout);
    if (!stream) {
        return;
    }
    stream->stopReporting();
    // Stop on a thread of our own: the closing thread may be a GStreamer one.
    teardownThread = std::thread(
        [stopping = stream->pipeline(), open = channels.handles(), teardown = teardown] {
            OfferedChannels::closeAll(open);
            gst_element_set_state(stopping.get(), GST_STATE_NULL);
            {
                std::lock_guard lock(teardown->mutex);
                teardown->done = true;
            }
            teardown->finished.notify_all();
        });
    if (inside) {
        return;
    }
    std::unique_lock lock(teardown->mutex);
    teardown->finished.wait_for(lock, teardownTimeout, [&] { return teardown->done; });
}

OfferingPeer::OfferingPeer(OfferingPeerOptions options, OfferingPeerCallbacks callbacks)
    : impl(std::make_unique<Impl>(std::move(options), std::move(callbacks))) {
    impl->start();
}

OfferingPeer::~OfferingPeer() = default;

void OfferingPeer::setRemoteAnswer(const std::string& sdp) {
    impl->negotiation().setRemoteAnswer(sdp);
}
bool OfferingPeer::addRemoteCandidate(const std::string& candidate, const std::string& mid) {
    return impl->negotiation().addRemoteCandidate(candidate, mid);
}
void OfferingPeer::setBitrate(std::uint64_t bitsPerSecond) {
    impl->media().setBitrate(bitsPerSecond);
}
bool OfferingPeer::sendText(const std::string& label, const std::string& text) {
    return impl->dataChannels().send(label, text);
}
bool OfferingPeer::sendBinary(const std::string& label, const std::vector<std::uint8_t>& data) {
    const auto* bytes = reinterpret_cast<const std::byte*>(data.data());
    return impl->dataChannels().send(label, rtc::binary(bytes, bytes + data.size()));
}
void OfferingPeer::showScene(const SceneState& scene) {
    impl->media().showScene(scene);
}
std::uint64_t OfferingPeer::keyFramesForced() const {
    return impl->media().keyFramesForced();
}
bool OfferingPeer::closeChannel(const std::string& label) {
    return impl->dataChannels().close(label);
}
void OfferingPeer::close() {
    impl->close();
}
