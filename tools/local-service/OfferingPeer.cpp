#include "OfferingPeer.hpp"

// webrtcbin's library API is marked unstable; 1.22 is what we build against.
#define GST_USE_UNSTABLE_API
#include <agent.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;

constexpr auto answerTimeout = 10s;
constexpr auto teardownTimeout = 5s;
constexpr auto channelCloseTimeout = 1s;
constexpr int cursorSize = 16;
// The backgrounds a press steps through, as videotestsrc patterns: bars, red, green, blue,
// checkers, 75% bars.
constexpr int backgroundPatterns[sceneBackgroundCount] = {0, 4, 5, 6, 10, 13};

// One strong reference to a GObject.
template <typename T>
struct Unref {
    void operator()(T* object) const { g_object_unref(object); }
};
template <typename T>
using GPtr = std::unique_ptr<T, Unref<T>>;

struct GFree {
    void operator()(void* memory) const { g_free(memory); }
};
using CharPtr = std::unique_ptr<gchar, GFree>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

// A shared_ptr copy handed to C code as user data, freed by the matching destroy notify.
template <typename T>
gpointer shareWithC(const std::shared_ptr<T>& shared) {
    return std::make_unique<std::shared_ptr<T>>(shared).release();
}
template <typename T>
void releaseFromC(gpointer data) {
    std::unique_ptr<std::shared_ptr<T>> owner(static_cast<std::shared_ptr<T>*>(data));
}

void initialiseGstreamer() {
    static std::once_flag once;
    std::call_once(once, [] {
        GError* rawError = nullptr;
        if (!gst_init_check(nullptr, nullptr, &rawError)) {
            ErrorPtr error(rawError);
            throw std::runtime_error(std::string("GStreamer could not start: ") +
                                     (error ? error->message : "unknown error"));
        }
    });
}

// Keeps callbacks away from the owner once it closes; waits for the ones in flight, except
// those on the closing thread.
class Gate {
  public:
    template <typename F>
    void run(F&& f) {
        {
            std::lock_guard lock(mutex);
            if (closed) {
                return;
            }
            ++inFlight;
        }
        ++depthOnThisThread();
        try {
            f();
        } catch (...) {
            // Callbacks come from C frames; a failing handler must not unwind through them.
        }
        --depthOnThisThread();
        // Notified under the lock: once close() sees the count drop, the gate may be gone.
        std::lock_guard lock(mutex);
        --inFlight;
        idle.notify_all();
    }

    bool inside() { return depthOnThisThread() > 0; }

    void close() {
        int own = depthOnThisThread();
        std::unique_lock lock(mutex);
        closed = true;
        idle.wait_for(lock, teardownTimeout, [&] { return inFlight <= own; });
    }

    bool isClosed() {
        std::lock_guard lock(mutex);
        return closed;
    }

  private:
    // Counts per thread across gates; enough for the one gate each peer has.
    static int& depthOnThisThread() {
        thread_local int depth = 0;
        return depth;
    }
    std::mutex mutex;
    std::condition_variable idle;
    bool closed = false;
    int inFlight = 0;
};

int stateNumber(GstWebRTCPeerConnectionState state) {
    return static_cast<int>(state);  // webrtcbin's order is the viewer's order
}

std::vector<std::string> midsOf(const GstSDPMessage* sdp) {
    std::vector<std::string> mids;
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const char* mid = gst_sdp_media_get_attribute_val(gst_sdp_message_get_media(sdp, i), "mid");
        mids.emplace_back(mid ? mid : "");
    }
    return mids;
}

std::string pipelineText(const OfferingPeerOptions& options) {
    const std::string codec = options.hevc ? "H265" : "H264";
    const std::string parser = options.hevc ? "h265parse" : "h264parse";
    const std::string payloader = options.hevc ? "rtph265pay" : "rtph264pay";
    const unsigned kbps = static_cast<unsigned>(std::max<std::uint64_t>(options.bitrate / 1000, 1));
    const int fps = std::max(options.fps, 1);

    std::ostringstream text;
    text << "webrtcbin name=offer bundle-policy=max-bundle latency=0 ";
    text << "audiotestsrc is-live=true wave=sine freq=440 volume=0.2 ! audioconvert ! "
            "audioresample ! audio/x-raw,rate=48000,channels=2 ! opusenc ! "
            "rtpopuspay pt=111 ! "
            "application/x-rtp,media=audio,encoding-name=OPUS,payload=111,clock-rate=48000,"
            "a-mid=audio ! offer. ";
    if (options.videoFile.empty()) {
        const std::string frameRate = ",framerate=" + std::to_string(fps) + "/1";
        // The scene: a background that presses change, and the service's cursor, a small
        // square, laid over it where the viewer's pointer is.
        text << "videotestsrc name=background is-live=true pattern=smpte horizontal-speed=4 ! "
             << "video/x-raw,format=I420,width=" << options.width << ",height=" << options.height
             << frameRate << " ! scene.sink_0 ";
        text << "videotestsrc is-live=true pattern=solid-color foreground-color=0xffffffff ! "
             << "video/x-raw,format=I420,width=" << cursorSize << ",height=" << cursorSize
             << frameRate << " ! scene.sink_1 ";
        text << "compositor name=scene background=black sink_1::alpha=0 ! "
             << "video/x-raw,format=I420,width=" << options.width << ",height=" << options.height
             << frameRate << " ! ";
        if (options.hevc) {
            text << "x265enc name=videoenc tune=zerolatency speed-preset=ultrafast key-int-max="
                 << fps * 10 << " bitrate=" << kbps << " ! ";
        } else {
            text << "x264enc name=videoenc tune=zerolatency speed-preset=ultrafast key-int-max="
                 << fps * 10 << " bitrate=" << kbps << " byte-stream=true ! ";
        }
        text << parser << " config-interval=-1 ! ";
    } else {
        CharPtr location(g_strescape(options.videoFile.c_str(), nullptr));
        text << "multifilesrc location=\"" << location.get() << "\" loop=true caps=\"video/x-"
             << (options.hevc ? "h265" : "h264") << ",stream-format=byte-stream,framerate=" << fps
             << "/1\" ! " << parser << " config-interval=-1 ! clocksync ! ";
    }
    text << payloader << " name=videopay pt=96 config-interval=-1 aggregate-mode=zero-latency ! "
         << "application/x-rtp,media=video,encoding-name=" << codec
         << ",payload=96,clock-rate=90000,a-mid=video,rtcp-fb-nack-pli=true ! offer.";
    return text.str();
}

// Closing the channels resets their SCTP streams, which tells the viewer the session is over
// at once: webrtcbin sends neither RTCP BYE nor an SCTP abort when it stops. The reset is
// acknowledged by the viewer closing its side, so wait (briefly) for that before stopping.
void closeChannels(const std::vector<GPtr<GstWebRTCDataChannel>>& channels) {
    auto state = [](GstWebRTCDataChannel* channel) {
        GstWebRTCDataChannelState value = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
        g_object_get(channel, "ready-state", &value, nullptr);
        return value;
    };
    for (const auto& channel : channels) {
        if (state(channel.get()) == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) {
            gst_webrtc_data_channel_close(channel.get());
        }
    }
    auto deadline = std::chrono::steady_clock::now() + channelCloseTimeout;
    auto allClosed = [&] {
        for (const auto& channel : channels) {
            if (state(channel.get()) == GST_WEBRTC_DATA_CHANNEL_STATE_CLOSING) {
                return false;
            }
        }
        return true;
    };
    while (!allClosed() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
}

}  // namespace

class OfferingPeer::Impl {
  public:
    Impl(OfferingPeerOptions options, OfferingPeerCallbacks callbacks)
        : options(std::move(options)), callbacks(std::move(callbacks)) {}

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
    void setRemoteAnswer(const std::string& sdp);
    bool addRemoteCandidate(const std::string& candidate, const std::string& mid);
    void setBitrate(std::uint64_t bitsPerSecond);
    bool send(const std::string& label, const std::string* text,
              const std::vector<std::uint8_t>* data);
    std::uint64_t keyFramesForced() const { return forcedKeyFrames->count.load(); }
    bool closeChannel(const std::string& label) {
        GPtr<GstWebRTCDataChannel> channel;
        {
            std::lock_guard lock(mutex);
            auto found = channels.find(label);
            if (closing || found == channels.end()) {
                return false;
            }
            channel.reset(GST_WEBRTC_DATA_CHANNEL(g_object_ref(found->second.get())));
        }
        GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
        g_object_get(channel.get(), "ready-state", &state, nullptr);
        if (state != GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) {
            return false;
        }
        gst_webrtc_data_channel_close(channel.get());
        return true;
    }
    void showScene(const SceneState& scene);
    void close();

  private:
    struct Teardown {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
    };

    void createDataChannel(const char* label, GstStructure* options);
    // Frames encoded before the transport was up never arrived; start the viewer's picture.
    void freshKeyFrame() {
        GPtr<GstElement> encoder(gst_bin_get_by_name(GST_BIN(pipeline.get()), "videoenc"));
        if (encoder) {
            gst_element_send_event(encoder.get(), gst_video_event_new_upstream_force_key_unit(
                                                      GST_CLOCK_TIME_NONE, TRUE, 0));
        }
    }
    void negotiationNeeded();
    void offerCreated(GstPromise* promise);
    bool teardownFinished() {
        std::lock_guard lock(teardown->mutex);
        return teardown->done;
    }

    const OfferingPeerOptions options;
    const OfferingPeerCallbacks callbacks;
    Gate gate;
    GPtr<GstElement> pipeline;
    GPtr<GstElement> webrtc;
    // Shared with a pad probe, which may outlive this object when teardown hangs.
    struct KeyFrameRequests {
        std::atomic<std::uint64_t> count{0};
        std::mutex mutex;
        std::function<void(std::uint64_t)> report;  // cleared on close
    };
    std::shared_ptr<KeyFrameRequests> forcedKeyFrames = std::make_shared<KeyFrameRequests>();
    // The background pattern a press asked for, applied by the source's own streaming thread:
    // videotestsrc frees its cached picture when the pattern changes, which from any other
    // thread races with the copy it makes of that picture for every frame.
    struct BackgroundPattern {
        std::atomic<int> wanted{backgroundPatterns[0]};
        int shown = backgroundPatterns[0];  // streaming thread only
    };
    std::shared_ptr<BackgroundPattern> backgroundPattern = std::make_shared<BackgroundPattern>();

    std::mutex mutex;
    bool offerStarted = false;
    bool closing = false;
    std::vector<std::string> mids;
    std::map<std::string, GPtr<GstWebRTCDataChannel>> channels;

    std::shared_ptr<Teardown> teardown = std::make_shared<Teardown>();
    std::thread teardownThread;
};

void OfferingPeer::Impl::start() {
    initialiseGstreamer();
    GError* rawError = nullptr;
    std::string description = pipelineText(options);
    GstElement* parsed = gst_parse_launch(description.c_str(), &rawError);
    ErrorPtr error(rawError);
    if (!parsed) {
        throw std::runtime_error("Cannot build the offering pipeline: " +
                                 std::string(error ? error->message : "unknown error"));
    }
    pipeline.reset(GST_ELEMENT(g_object_ref_sink(parsed)));
    webrtc.reset(gst_bin_get_by_name(GST_BIN(pipeline.get()), "offer"));

    GstWebRTCICE* ice = nullptr;
    g_object_get(webrtc.get(), "ice-agent", &ice, nullptr);
    GPtr<GstWebRTCICE> iceOwner(ice);
    NiceAgent* agent = nullptr;
    g_object_set(ice, "ice-tcp", FALSE, nullptr);
    g_object_get(ice, "agent", &agent, nullptr);
    GPtr<NiceAgent> agentOwner(agent);
    NiceAddress address;
    nice_address_init(&address);
    if (!agent || !nice_address_set_from_string(&address, options.bindAddress.c_str())) {
        throw std::invalid_argument("Cannot gather on \"" + options.bindAddress + "\"");
    }
    nice_agent_add_local_address(agent, &address);

    if (GPtr<GstElement> background{gst_bin_get_by_name(GST_BIN(pipeline.get()), "background")}) {
        GPtr<GstPad> output(gst_element_get_static_pad(background.get(), "src"));
        gst_pad_add_probe(
            output.get(), GST_PAD_PROBE_TYPE_BUFFER,
            [](GstPad* pad, GstPadProbeInfo*, gpointer data) {
                auto& pattern = **static_cast<std::shared_ptr<BackgroundPattern>*>(data);
                const int wanted = pattern.wanted.load();
                if (wanted != pattern.shown) {
                    g_object_set(GST_PAD_PARENT(pad), "pattern", wanted, nullptr);
                    pattern.shown = wanted;
                }
                return GST_PAD_PROBE_OK;
            },
            shareWithC(backgroundPattern), releaseFromC<BackgroundPattern>);
    }

    // Count the key frames the viewer asks for: the RTP session sends them upstream.
    forcedKeyFrames->report = callbacks.onKeyFrameForced;
    GstElement* payloader = gst_bin_get_by_name(GST_BIN(pipeline.get()), "videopay");
    GPtr<GstElement> payloaderOwner(payloader);
    GPtr<GstPad> payloaderSink(gst_element_get_static_pad(payloader, "sink"));
    gst_pad_add_probe(
        payloaderSink.get(), GST_PAD_PROBE_TYPE_EVENT_UPSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
            if (event && gst_video_event_is_force_key_unit(event)) {
                auto& requests = **static_cast<std::shared_ptr<KeyFrameRequests>*>(data);
                std::uint64_t count = ++requests.count;
                std::lock_guard lock(requests.mutex);
                if (requests.report) {
                    requests.report(count);
                }
            }
            return GST_PAD_PROBE_OK;
        },
        shareWithC(forcedKeyFrames), releaseFromC<KeyFrameRequests>);
    // A parsed file gives most frames a decoding time only. Without a presentation time the
    // payloader stamps every frame with the same RTP time, and the viewer cannot tell one
    // frame from the next; the files hold no B-frames, so the decoding time is the one.
    gst_pad_add_probe(
        payloaderSink.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer) {
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            if (buffer && !GST_BUFFER_PTS_IS_VALID(buffer) && GST_BUFFER_DTS_IS_VALID(buffer)) {
                buffer = gst_buffer_make_writable(buffer);
                GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer);
                GST_PAD_PROBE_INFO_DATA(info) = buffer;
            }
            return GST_PAD_PROBE_OK;
        },
        nullptr, nullptr);

    g_signal_connect(webrtc.get(), "on-negotiation-needed",
                     G_CALLBACK(+[](GstElement*, gpointer self) {
                         static_cast<Impl*>(self)->negotiationNeeded();
                     }),
                     this);
    g_signal_connect(webrtc.get(), "on-ice-candidate",
                     G_CALLBACK(+[](GstElement*, guint mline, gchar* candidate, gpointer data) {
                         auto* self = static_cast<Impl*>(data);
                         std::optional<std::string> mid;
                         {
                             std::lock_guard lock(self->mutex);
                             if (mline < self->mids.size()) {
                                 mid = self->mids[mline];
                             }
                         }
                         std::string text = candidate ? candidate : "";
                         self->gate.run([&] {
                             if (self->callbacks.onLocalCandidate && !text.empty()) {
                                 self->callbacks.onLocalCandidate(text, mid);
                             }
                         });
                     }),
                     this);
    g_signal_connect(webrtc.get(), "notify::connection-state",
                     G_CALLBACK(+[](GstElement* element, GParamSpec*, gpointer data) {
                         auto* self = static_cast<Impl*>(data);
                         GstWebRTCPeerConnectionState state;
                         g_object_get(element, "connection-state", &state, nullptr);
                         if (state == GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) {
                             self->freshKeyFrame();
                         }
                         self->gate.run([&] {
                             if (self->callbacks.onStateChange) {
                                 self->callbacks.onStateChange(stateNumber(state));
                             }
                         });
                     }),
                     this);

    GPtr<GstBus> bus(gst_pipeline_get_bus(GST_PIPELINE(pipeline.get())));
    gst_bus_set_sync_handler(
        bus.get(), [](GstBus*, GstMessage*, gpointer) { return GST_BUS_DROP; }, nullptr, nullptr);

    // Channels made before the first negotiation land in the first offer, in this order.
    gst_element_set_state(pipeline.get(), GST_STATE_READY);
    createDataChannel("input", nullptr);
    GstStructure* fast = gst_structure_new("options", "ordered", G_TYPE_BOOLEAN, FALSE,
                                           "max-retransmits", G_TYPE_INT, 0, nullptr);
    createDataChannel("input-fast", fast);
    gst_structure_free(fast);
    createDataChannel("microphone", nullptr);

    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        throw std::runtime_error("The offering pipeline could not start");
    }
}

void OfferingPeer::Impl::createDataChannel(const char* label, GstStructure* channelOptions) {
    GstWebRTCDataChannel* channel = nullptr;
    g_signal_emit_by_name(webrtc.get(), "create-data-channel", label, channelOptions, &channel);
    if (!channel) {
        throw std::runtime_error(std::string("Cannot create the data channel ") + label);
    }
    g_signal_connect(channel, "on-open",
                     G_CALLBACK(+[](GstWebRTCDataChannel* channel, gpointer data) {
                         auto* self = static_cast<Impl*>(data);
                         gchar* label = nullptr;
                         g_object_get(channel, "label", &label, nullptr);
                         CharPtr owner(label);
                         std::string text = label ? label : "";
                         self->gate.run([&] {
                             if (self->callbacks.onChannelOpen) {
                                 self->callbacks.onChannelOpen(text);
                             }
                         });
                     }),
                     this);
    g_signal_connect(channel, "on-message-string",
                     G_CALLBACK(+[](GstWebRTCDataChannel* channel, gchar* message, gpointer data) {
                         auto* self = static_cast<Impl*>(data);
                         gchar* label = nullptr;
                         g_object_get(channel, "label", &label, nullptr);
                         CharPtr owner(label);
                         std::string name = label ? label : "";
                         std::string text = message ? message : "";
                         self->gate.run([&] {
                             if (self->callbacks.onTextMessage) {
                                 self->callbacks.onTextMessage(name, text);
                             }
                         });
                     }),
                     this);
    g_signal_connect(channel, "on-message-data",
                     G_CALLBACK(+[](GstWebRTCDataChannel* channel, GBytes* bytes, gpointer data) {
                         auto* self = static_cast<Impl*>(data);
                         gchar* label = nullptr;
                         g_object_get(channel, "label", &label, nullptr);
                         CharPtr owner(label);
                         std::string name = label ? label : "";
                         gsize size = 0;
                         auto* raw = static_cast<const std::uint8_t*>(
                             bytes ? g_bytes_get_data(bytes, &size) : nullptr);
                         std::vector<std::uint8_t> payload(raw, raw + (raw ? size : 0));
                         self->gate.run([&] {
                             if (self->callbacks.onBinaryMessage) {
                                 self->callbacks.onBinaryMessage(name, payload);
                             }
                         });
                     }),
                     this);
    std::lock_guard lock(mutex);
    channels[label].reset(channel);
}

void OfferingPeer::Impl::negotiationNeeded() {
    {
        std::lock_guard lock(mutex);
        if (offerStarted || closing) {
            return;
        }
        offerStarted = true;
    }
    GstPromise* promise = gst_promise_new_with_change_func(
        [](GstPromise* promise, gpointer data) { static_cast<Impl*>(data)->offerCreated(promise); },
        this, nullptr);
    g_signal_emit_by_name(webrtc.get(), "create-offer", nullptr, promise);
}

void OfferingPeer::Impl::offerCreated(GstPromise* promise) {
    GstWebRTCSessionDescription* offer = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
        const GstStructure* reply = gst_promise_get_reply(promise);
        if (reply) {
            gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
        }
    }
    gst_promise_unref(promise);
    if (!offer) {
        return;
    }
    {
        std::lock_guard lock(mutex);
        mids = midsOf(offer->sdp);
    }
    CharPtr text(gst_sdp_message_as_text(offer->sdp));
    std::string sdp = text.get();
    // The offer goes out before gathering starts, so no candidate can overtake it.
    gate.run([&] {
        if (callbacks.onLocalDescription) {
            callbacks.onLocalDescription("offer", sdp);
        }
    });
    g_signal_emit_by_name(webrtc.get(), "set-local-description", offer, nullptr);
    gst_webrtc_session_description_free(offer);
}

void OfferingPeer::Impl::setRemoteAnswer(const std::string& sdp) {
    if (gate.isClosed()) {
        throw std::runtime_error("The offering peer is closed");
    }
    GstSDPMessage* message = nullptr;
    gst_sdp_message_new_from_text(sdp.c_str(), &message);
    if (!message || gst_sdp_message_medias_len(message) == 0) {
        if (message) {
            gst_sdp_message_free(message);
        }
        throw std::runtime_error("The answer is not a session description");
    }
    GstWebRTCSessionDescription* answer =
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, message);

    struct Waiter {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    auto waiter = std::make_shared<Waiter>();
    GstPromise* promise = gst_promise_new_with_change_func(
        [](GstPromise*, gpointer data) {
            // A copy: the waiter may wake and drop its share before notify returns.
            auto shared = *static_cast<std::shared_ptr<Waiter>*>(data);
            {
                std::lock_guard lock(shared->mutex);
                shared->done = true;
            }
            shared->changed.notify_all();
        },
        shareWithC(waiter), releaseFromC<Waiter>);
    g_signal_emit_by_name(webrtc.get(), "set-remote-description", answer, promise);
    gst_webrtc_session_description_free(answer);

    bool replied = false;
    {
        std::unique_lock lock(waiter->mutex);
        replied = waiter->changed.wait_for(lock, answerTimeout, [&] { return waiter->done; });
    }
    std::string failure;
    if (!replied) {
        gst_promise_interrupt(promise);
        failure = "Applying the answer timed out";
    } else if (const GstStructure* reply = gst_promise_get_reply(promise);
               reply && gst_structure_has_field(reply, "error")) {
        GError* rawError = nullptr;
        gst_structure_get(reply, "error", G_TYPE_ERROR, &rawError, nullptr);
        ErrorPtr error(rawError);
        failure = std::string("The answer was refused: ") + (error ? error->message : "");
    }
    gst_promise_unref(promise);
    if (!failure.empty()) {
        throw std::runtime_error(failure);
    }
}

bool OfferingPeer::Impl::addRemoteCandidate(const std::string& candidate, const std::string& mid) {
    std::string text = candidate.starts_with("a=") ? candidate.substr(2) : candidate;
    // candidate:<foundation> <component> <transport> <priority> <address> <port> typ ...
    std::istringstream fields(text);
    std::string foundation, component, transport, priority, address;
    fields >> foundation >> component >> transport >> priority >> address;
    if (!foundation.starts_with("candidate:") || !address.starts_with("127.")) {
        return false;
    }
    guint mline = 0;
    {
        std::lock_guard lock(mutex);
        auto found = std::find(mids.begin(), mids.end(), mid);
        if (found == mids.end() || closing) {
            return false;
        }
        mline = static_cast<guint>(found - mids.begin());
    }
    g_signal_emit_by_name(webrtc.get(), "add-ice-candidate", mline, text.c_str());
    return true;
}

void OfferingPeer::Impl::setBitrate(std::uint64_t bitsPerSecond) {
    GPtr<GstElement> encoder(gst_bin_get_by_name(GST_BIN(pipeline.get()), "videoenc"));
    if (encoder) {
        guint kbps = static_cast<guint>(std::max<std::uint64_t>(bitsPerSecond / 1000, 1));
        g_object_set(encoder.get(), "bitrate", kbps, nullptr);
        // What the encoder holds now, read back, so a test can see the change took effect.
        guint applied = 0;
        g_object_get(encoder.get(), "bitrate", &applied, nullptr);
        const std::string line = "encoder_bitrate=" + std::to_string(applied) + "kbps\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
}

bool OfferingPeer::Impl::send(const std::string& label, const std::string* text,
                              const std::vector<std::uint8_t>* data) {
    GstWebRTCDataChannel* channel = nullptr;
    {
        std::lock_guard lock(mutex);
        auto found = channels.find(label);
        if (closing || found == channels.end()) {
            return false;
        }
        channel = GST_WEBRTC_DATA_CHANNEL(g_object_ref(found->second.get()));
    }
    GPtr<GstWebRTCDataChannel> owner(channel);
    GstWebRTCDataChannelState state;
    g_object_get(channel, "ready-state", &state, nullptr);
    if (state != GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) {
        return false;
    }
    GError* rawError = nullptr;
    gboolean sent = FALSE;
    if (text) {
        sent = gst_webrtc_data_channel_send_string_full(channel, text->c_str(), &rawError);
    } else {
        GBytes* bytes = g_bytes_new(data->data(), data->size());
        sent = gst_webrtc_data_channel_send_data_full(channel, bytes, &rawError);
        g_bytes_unref(bytes);
    }
    ErrorPtr error(rawError);
    return sent && !error;
}

void OfferingPeer::Impl::showScene(const SceneState& scene) {
    GPtr<GstElement> mixer(gst_bin_get_by_name(GST_BIN(pipeline.get()), "scene"));
    if (!mixer) {
        return;
    }
    const int index = std::clamp(scene.background, 0, sceneBackgroundCount - 1);
    backgroundPattern->wanted.store(backgroundPatterns[index]);
    GPtr<GstPad> cursor(gst_element_get_static_pad(mixer.get(), "sink_1"));
    if (!cursor) {
        return;
    }
    // The square's centre on the pointer, kept inside the picture.
    const double fx = std::clamp(scene.cursorX, 0, 65535) / 65535.0;
    const double fy = std::clamp(scene.cursorY, 0, 65535) / 65535.0;
    const int x = static_cast<int>(fx * (options.width - cursorSize));
    const int y = static_cast<int>(fy * (options.height - cursorSize));
    g_object_set(cursor.get(), "xpos", x, "ypos", y, "alpha", scene.cursorVisible ? 1.0 : 0.0,
                 nullptr);
}

void OfferingPeer::Impl::close() {
    {
        std::lock_guard lock(mutex);
        if (closing) {
            return;
        }
        closing = true;
    }
    bool inside = gate.inside();
    gate.close();
    {
        std::lock_guard lock(forcedKeyFrames->mutex);
        forcedKeyFrames->report = nullptr;
    }
    if (!pipeline) {
        return;
    }
    g_signal_handlers_disconnect_by_data(webrtc.get(), this);
    std::vector<GPtr<GstWebRTCDataChannel>> open;
    {
        std::lock_guard lock(mutex);
        for (auto& [label, channel] : channels) {
            g_signal_handlers_disconnect_by_data(channel.get(), this);
            open.emplace_back(GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel.get())));
        }
    }
    // Stop on a thread of our own: the closing thread may be a GStreamer one.
    GstElement* stopping = GST_ELEMENT(g_object_ref(pipeline.get()));
    teardownThread = std::thread([stopping, open = std::move(open), teardown = teardown] {
        GPtr<GstElement> owner(stopping);
        closeChannels(open);
        gst_element_set_state(stopping, GST_STATE_NULL);
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
    impl->setRemoteAnswer(sdp);
}
bool OfferingPeer::addRemoteCandidate(const std::string& candidate, const std::string& mid) {
    return impl->addRemoteCandidate(candidate, mid);
}
void OfferingPeer::setBitrate(std::uint64_t bitsPerSecond) {
    impl->setBitrate(bitsPerSecond);
}
bool OfferingPeer::sendText(const std::string& label, const std::string& text) {
    return impl->send(label, &text, nullptr);
}
bool OfferingPeer::sendBinary(const std::string& label, const std::vector<std::uint8_t>& data) {
    return impl->send(label, nullptr, &data);
}
void OfferingPeer::showScene(const SceneState& scene) {
    impl->showScene(scene);
}
std::uint64_t OfferingPeer::keyFramesForced() const {
    return impl->keyFramesForced();
}
bool OfferingPeer::closeChannel(const std::string& label) {
    return impl->closeChannel(label);
}
void OfferingPeer::close() {
    impl->close();
}
