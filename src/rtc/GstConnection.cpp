// The answering peer connection on GStreamer's webrtcbin.

// webrtcbin's library API is marked unstable; 1.22 is what we build against.
#define GST_USE_UNSTABLE_API
#include <agent.h>
#include <gio/gio.h>
#include <gio/gnetworking.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "rtc/CallbackGate.hpp"
#include "rtc/Glib.hpp"
#include "rtc/GstDataChannel.hpp"
#include "rtc/GstTrack.hpp"
#include "rtc/Impl.hpp"
#include "rtc/Sdp.hpp"

namespace rtc {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto promiseTimeout = 10s;
constexpr auto silenceLimit = 10s;
constexpr auto closeTimeout = 5s;
constexpr int receiveBufferBytes = 4 * 1024 * 1024;

std::int64_t nowTicks() {
    return Clock::now().time_since_epoch().count();
}

void initialiseGstreamer() {
    static std::once_flag once;
    std::call_once(once, [] {
        GError* rawError = nullptr;
        if (!gst_init_check(nullptr, nullptr, &rawError)) {
            glib::ErrorPtr error(rawError);
            throw std::runtime_error(std::string("GStreamer could not start: ") +
                                     (error ? error->message : "unknown error"));
        }
    });
}

// Waits for a webrtcbin promise with a deadline; the state outlives a late reply.
class PromiseWaiter {
  public:
    PromiseWaiter() : state(std::make_shared<State>()) {
        auto owner = std::make_unique<std::shared_ptr<State>>(state);
        promise.reset(gst_promise_new_with_change_func(
            [](GstPromise*, gpointer data) {
                // A copy: the waiter may wake and drop its share before notify returns.
                auto shared = *static_cast<std::shared_ptr<State>*>(data);
                {
                    std::lock_guard lock(shared->mutex);
                    shared->done = true;
                }
                shared->changed.notify_all();
            },
            owner.release(),
            [](gpointer data) {
                std::unique_ptr<std::shared_ptr<State>> free(
                    static_cast<std::shared_ptr<State>*>(data));
            }));
    }

    GstPromise* get() const { return promise.get(); }

    // The reply (a copy), or an exception naming the step.
    glib::StructurePtr wait(const std::string& step) {
        std::unique_lock lock(state->mutex);
        if (!state->changed.wait_for(lock, promiseTimeout, [&] { return state->done; })) {
            lock.unlock();
            gst_promise_interrupt(promise.get());
            throw std::runtime_error(step + " timed out");
        }
        lock.unlock();
        if (gst_promise_wait(promise.get()) != GST_PROMISE_RESULT_REPLIED) {
            throw std::runtime_error(step + " was interrupted");
        }
        const GstStructure* reply = gst_promise_get_reply(promise.get());
        glib::StructurePtr copy(reply ? gst_structure_copy(reply) : nullptr);
        if (copy && gst_structure_has_field(copy.get(), "error")) {
            GError* rawError = nullptr;
            gst_structure_get(copy.get(), "error", G_TYPE_ERROR, &rawError, nullptr);
            glib::ErrorPtr error(rawError);
            throw std::runtime_error(
                step + " failed: " + (error ? error->message : std::string("unknown error")));
        }
        return copy;
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    std::shared_ptr<State> state;
    glib::PromisePtr promise;
};

struct DescriptionDeleter {
    void operator()(GstWebRTCSessionDescription* description) const {
        gst_webrtc_session_description_free(description);
    }
};
using DescriptionPtr = std::unique_ptr<GstWebRTCSessionDescription, DescriptionDeleter>;

PeerConnection::State fromGst(GstWebRTCPeerConnectionState state) {
    switch (state) {
        case GST_WEBRTC_PEER_CONNECTION_STATE_NEW:
            return PeerConnection::State::New;
        case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTING:
            return PeerConnection::State::Connecting;
        case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED:
            return PeerConnection::State::Connected;
        case GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED:
            return PeerConnection::State::Disconnected;
        case GST_WEBRTC_PEER_CONNECTION_STATE_FAILED:
            return PeerConnection::State::Failed;
        case GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED:
            return PeerConnection::State::Closed;
    }
    return PeerConnection::State::New;
}

std::string escaped(const std::string& text) {
    return glib::takeString(g_uri_escape_string(text.c_str(), nullptr, FALSE));
}

// Raises the receive buffer of a socket; SO_RCVBUFFORCE passes the system limit when allowed.
void raiseReceiveBuffer(GSocket* socket) {
    g_socket_set_option(socket, SOL_SOCKET, SO_RCVBUF, receiveBufferBytes, nullptr);
    gint granted = 0;
    g_socket_get_option(socket, SOL_SOCKET, SO_RCVBUF, &granted, nullptr);
#ifdef SO_RCVBUFFORCE
    if (granted < receiveBufferBytes) {
        g_socket_set_option(socket, SOL_SOCKET, SO_RCVBUFFORCE, receiveBufferBytes, nullptr);
    }
#endif
}

class GstConnection : public PeerConnection::Impl,
                      public std::enable_shared_from_this<GstConnection> {
  public:
    explicit GstConnection(Configuration config) : config(std::move(config)) {}
    ~GstConnection() override;

    void start();

    void close() override;
    void setRemoteDescription(Description description) override;
    void addRemoteCandidate(Candidate candidate) override;
    PeerConnection::State state() const override;
    void onLocalDescription(std::function<void(Description)> callback) override;
    void onLocalCandidate(std::function<void(Candidate)> callback) override;
    void onStateChange(std::function<void(PeerConnection::State)> callback) override;
    void onTrack(std::function<void(std::shared_ptr<Track>)> callback) override;
    void onDataChannel(std::function<void(std::shared_ptr<DataChannel>)> callback) override;

  private:
    // Shared with the worker thread, which may outlive the connection when teardown hangs.
    struct Worker {
        std::mutex mutex;
        std::condition_variable wake;
        bool teardown = false;
        bool done = false;
        std::atomic<std::int64_t> lastActivity{0};
    };

    void configureIce();
    void connectSignals();
    void workerLoop();
    void watch();
    void tuneSockets();
    void watchTransports();

    void report(PeerConnection::State next);
    void newTransceiver(GstWebRTCRTPTransceiver* transceiver);
    void localCandidate(unsigned mline, const char* text);
    void drainCandidates();
    void padAdded(GstPad* pad);
    void dataChannel(GstWebRTCDataChannel* channel);
    std::string midAt(unsigned mline) const;

    template <typename F>
    F callbackCopy(const F& slot) const {
        std::lock_guard lock(callbackMutex);
        return slot;
    }

    const Configuration config;
    const std::shared_ptr<CallbackGate> gate = std::make_shared<CallbackGate>();
    glib::Ref<GstElement> pipeline;
    glib::Ref<GstElement> webrtc;

    mutable std::mutex callbackMutex;
    std::function<void(Description)> localDescriptionCallback;
    std::function<void(Candidate)> localCandidateCallback;
    std::function<void(PeerConnection::State)> stateCallback;
    std::function<void(std::shared_ptr<Track>)> trackCallback;
    std::function<void(std::shared_ptr<DataChannel>)> dataChannelCallback;

    mutable std::mutex stateMutex;
    PeerConnection::State current = PeerConnection::State::New;
    std::mutex stateDeliveryMutex;  // keeps state callbacks in the order of the changes

    mutable std::mutex sdpMutex;
    std::vector<sdp::Media> remoteMedia;
    bool haveRemote = false;

    std::mutex candidateMutex;
    bool descriptionDelivered = false;
    bool draining = false;
    std::deque<Candidate> heldCandidates;

    std::mutex watchMutex;
    bool transportsWatched = false;
    bool socketsTuned = false;  // worker thread only
    bool everConnected = false;
    std::set<guint> remoteSsrcs;
    std::size_t remoteChannelsOpen = 0;
    std::atomic<bool> iceConnected{false};

    std::mutex closeMutex;
    bool closing = false;
    std::shared_ptr<Worker> worker = std::make_shared<Worker>();
    std::thread workerThread;
};

GstConnection::~GstConnection() {
    close();
    if (!workerThread.joinable()) {
        return;
    }
    bool finished = false;
    {
        std::lock_guard lock(worker->mutex);
        finished = worker->done;
    }
    if (finished && workerThread.get_id() != std::this_thread::get_id()) {
        workerThread.join();
    } else {
        // Teardown is still stuck inside GStreamer, or this is the worker itself: the thread
        // holds what it needs and ends on its own.
        workerThread.detach();
    }
}

void GstConnection::start() {
    initialiseGstreamer();
    pipeline = glib::Ref<GstElement>::sink(gst_pipeline_new(nullptr));
    GstElement* element = gst_element_factory_make("webrtcbin", nullptr);
    if (!pipeline || !element) {
        throw std::runtime_error("GStreamer webrtcbin is not available");
    }
    webrtc = glib::Ref<GstElement>::share(element);
    gst_bin_add(GST_BIN(pipeline.get()), element);
    g_object_set(element, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, "latency", 0u,
                 nullptr);
    configureIce();
    connectSignals();

    // Nothing reads the bus; drop its messages so they do not pile up.
    glib::Ref<GstBus> bus =
        glib::Ref<GstBus>::adopt(gst_pipeline_get_bus(GST_PIPELINE(pipeline.get())));
    gst_bus_set_sync_handler(
        bus.get(), [](GstBus*, GstMessage*, gpointer) { return GST_BUS_DROP; }, nullptr, nullptr);

    // Starting now makes webrtcbin generate its DTLS certificate before the offer arrives.
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        throw std::runtime_error("GStreamer webrtcbin could not start");
    }

    std::weak_ptr<GstConnection> weak = weak_from_this();
    workerThread = std::thread([weak, worker = worker, pipeline = pipeline] {
        while (true) {
            {
                std::unique_lock lock(worker->mutex);
                worker->wake.wait_for(lock, 250ms, [&] { return worker->teardown; });
                if (worker->teardown) {
                    break;
                }
            }
            if (auto self = weak.lock()) {
                self->watch();
            }
        }
        // Not a streaming thread, so the state change cannot wait on itself.
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        {
            std::lock_guard lock(worker->mutex);
            worker->done = true;
        }
        worker->wake.notify_all();
    });
}

void GstConnection::configureIce() {
    bool stunSet = false;
    for (const auto& server : config.iceServers) {
        // An IPv6 host keeps its brackets, or its colons would read as the port's.
        const std::string host = server.hostname.find(':') == std::string::npos
                                     ? server.hostname
                                     : "[" + server.hostname + "]";
        std::string port = std::to_string(server.port);
        if (server.type == IceServer::Type::Stun) {
            if (!stunSet) {
                std::string uri = "stun://" + host + ":" + port;
                g_object_set(webrtc.get(), "stun-server", uri.c_str(), nullptr);
                stunSet = true;
            }
            continue;
        }
        std::string scheme =
            server.relayType == IceServer::RelayType::TurnTls ? "turns://" : "turn://";
        std::string uri = scheme + escaped(server.username) + ":" + escaped(server.password) + "@" +
                          host + ":" + port;
        if (server.relayType == IceServer::RelayType::TurnTcp) {
            uri += "?transport=tcp";
        }
        gboolean added = FALSE;
        g_signal_emit_by_name(webrtc.get(), "add-turn-server", uri.c_str(), &added);
    }

    if (config.bindAddress) {
        GstWebRTCICE* ice = nullptr;
        g_object_get(webrtc.get(), "ice-agent", &ice, nullptr);
        auto iceRef = glib::Ref<GstWebRTCICE>::adopt(ice);
        NiceAgent* agent = nullptr;
        if (ice && g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent")) {
            g_object_get(ice, "agent", &agent, nullptr);
        }
        auto agentRef = glib::Ref<NiceAgent>::adopt(agent);
        NiceAddress address;
        nice_address_init(&address);
        if (!agent || !nice_address_set_from_string(&address, config.bindAddress->c_str())) {
            throw std::invalid_argument("Cannot gather on address \"" + *config.bindAddress + "\"");
        }
        nice_agent_add_local_address(agent, &address);
    }
}

void GstConnection::connectSignals() {
    std::weak_ptr<GstConnection> weak = weak_from_this();
    GstElement* element = webrtc.get();

    glib::connect<void(GstElement*, GstWebRTCRTPTransceiver*)>(
        element, "on-new-transceiver", [weak](GstElement*, GstWebRTCRTPTransceiver* transceiver) {
            if (auto self = weak.lock()) {
                self->newTransceiver(transceiver);
            }
        });
    glib::connect<void(GstElement*, guint, gchar*)>(element, "on-ice-candidate",
                                                    [weak](GstElement*, guint mline, gchar* text) {
                                                        if (auto self = weak.lock()) {
                                                            self->localCandidate(mline, text);
                                                        }
                                                    });
    glib::connect<void(GstElement*, GstPad*)>(element, "pad-added",
                                              [weak](GstElement*, GstPad* pad) {
                                                  if (auto self = weak.lock()) {
                                                      self->padAdded(pad);
                                                  }
                                              });
    glib::connect<void(GstElement*, GstWebRTCDataChannel*)>(
        element, "on-data-channel", [weak](GstElement*, GstWebRTCDataChannel* channel) {
            if (auto self = weak.lock()) {
                self->dataChannel(channel);
            }
        });
    glib::connect<void(GstElement*, GParamSpec*)>(
        element, "notify::connection-state", [weak](GstElement* webrtc, GParamSpec*) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
            g_object_get(webrtc, "connection-state", &state, nullptr);
            self->report(fromGst(state));
        });
    glib::connect<void(GstElement*, GParamSpec*)>(
        element, "notify::ice-connection-state", [weak](GstElement* webrtc, GParamSpec*) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
            g_object_get(webrtc, "ice-connection-state", &state, nullptr);
            if (state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED) {
                self->report(PeerConnection::State::Failed);
            } else if (state == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED ||
                       state == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED) {
                self->iceConnected = true;
            }
        });

    // Anything arriving from the network counts as a sign of life of the remote peer.
    auto activity = worker;
    glib::connect<void(GstBin*, GstBin*, GstElement*)>(
        pipeline.get(), "deep-element-added", [activity](GstBin*, GstBin*, GstElement* added) {
            GstElementFactory* factory = gst_element_get_factory(added);
            if (!factory || g_strcmp0(GST_OBJECT_NAME(factory), "nicesrc") != 0) {
                return;
            }
            glib::Ref<GstPad> source =
                glib::Ref<GstPad>::adopt(gst_element_get_static_pad(added, "src"));
            if (!source) {
                return;
            }
            auto owner = std::make_unique<std::shared_ptr<Worker>>(activity);
            gst_pad_add_probe(
                source.get(),
                GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                [](GstPad*, GstPadProbeInfo*, gpointer data) {
                    (*static_cast<std::shared_ptr<Worker>*>(data))
                        ->lastActivity.store(nowTicks(), std::memory_order_relaxed);
                    return GST_PAD_PROBE_OK;
                },
                owner.release(),
                [](gpointer data) {
                    std::unique_ptr<std::shared_ptr<Worker>> free(
                        static_cast<std::shared_ptr<Worker>*>(data));
                });
        });
}

void GstConnection::watch() {
    if (gate->isClosed()) {
        return;
    }
    bool connected = false;
    {
        std::lock_guard lock(watchMutex);
        connected = everConnected;
    }
    if (iceConnected) {
        tuneSockets();
    }
    if (!connected) {
        return;
    }
    auto last = Clock::time_point(Clock::duration(worker->lastActivity.load()));
    if (Clock::now() - last > silenceLimit) {
        report(PeerConnection::State::Disconnected);
    }
}

void GstConnection::tuneSockets() {
    // Only the worker calls this; it tries again each round until a socket is selected.
    if (socketsTuned) {
        return;
    }
    GstWebRTCICE* ice = nullptr;
    g_object_get(webrtc.get(), "ice-agent", &ice, nullptr);
    auto iceRef = glib::Ref<GstWebRTCICE>::adopt(ice);
    if (!ice || !g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent")) {
        return;
    }
    NiceAgent* agent = nullptr;
    g_object_get(ice, "agent", &agent, nullptr);
    auto agentRef = glib::Ref<NiceAgent>::adopt(agent);
    if (!agent) {
        return;
    }
    // Bundled media use one stream; look at a few in case the remote peer did not bundle.
    for (guint stream = 1; stream <= 8; ++stream) {
        for (guint component = 1; component <= 2; ++component) {
            auto socket =
                glib::Ref<GSocket>::adopt(nice_agent_get_selected_socket(agent, stream, component));
            if (socket) {
                raiseReceiveBuffer(socket.get());
                socketsTuned = true;
            }
        }
    }
}

void GstConnection::watchTransports() {
    {
        std::lock_guard lock(watchMutex);
        if (transportsWatched) {
            return;
        }
        transportsWatched = true;
    }
    std::weak_ptr<GstConnection> weak = weak_from_this();

    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_signal_emit_by_name(webrtc.get(), "get-transceiver", 0, &transceiver);
    auto transceiverRef = glib::Ref<GstWebRTCRTPTransceiver>::adopt(transceiver);
    GstWebRTCDTLSTransport* dtls = nullptr;
    if (transceiver) {
        GstWebRTCRTPReceiver* receiver = nullptr;
        g_object_get(transceiver, "receiver", &receiver, nullptr);
        auto receiverRef = glib::Ref<GstWebRTCRTPReceiver>::adopt(receiver);
        if (receiver) {
            g_object_get(receiver, "transport", &dtls, nullptr);
        }
    }
    GstWebRTCSCTPTransport* sctp = nullptr;
    g_object_get(webrtc.get(), "sctp-transport", &sctp, nullptr);
    auto sctpRef = glib::Ref<GstWebRTCSCTPTransport>::adopt(sctp);
    if (!dtls && sctp) {
        g_object_get(sctp, "transport", &dtls, nullptr);
    }
    auto dtlsRef = glib::Ref<GstWebRTCDTLSTransport>::adopt(dtls);

    if (dtls) {
        glib::connect<void(GstWebRTCDTLSTransport*, GParamSpec*)>(
            dtls, "notify::state", [weak](GstWebRTCDTLSTransport* transport, GParamSpec*) {
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                GstWebRTCDTLSTransportState state = GST_WEBRTC_DTLS_TRANSPORT_STATE_NEW;
                g_object_get(transport, "state", &state, nullptr);
                if (state == GST_WEBRTC_DTLS_TRANSPORT_STATE_CLOSED) {
                    self->report(PeerConnection::State::Closed);
                } else if (state == GST_WEBRTC_DTLS_TRANSPORT_STATE_FAILED) {
                    self->report(PeerConnection::State::Failed);
                }
            });
    }
    if (sctp) {
        auto wasConnected = std::make_shared<std::atomic<bool>>(false);
        glib::connect<void(GstWebRTCSCTPTransport*, GParamSpec*)>(
            sctp, "notify::state",
            [weak, wasConnected](GstWebRTCSCTPTransport* transport, GParamSpec*) {
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                GstWebRTCSCTPTransportState state = GST_WEBRTC_SCTP_TRANSPORT_STATE_NEW;
                g_object_get(transport, "state", &state, nullptr);
                if (state == GST_WEBRTC_SCTP_TRANSPORT_STATE_CONNECTED) {
                    *wasConnected = true;
                } else if (state == GST_WEBRTC_SCTP_TRANSPORT_STATE_CLOSED && *wasConnected) {
                    self->report(PeerConnection::State::Closed);
                }
            });
    }

    // A remote peer that ends cleanly says BYE for each of its streams.
    glib::Ref<GstElement> rtpbin =
        glib::Ref<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(webrtc.get()), "rtpbin"));
    if (rtpbin) {
        glib::connect<void(GstElement*, GstPad*)>(
            rtpbin.get(), "pad-added", [weak](GstElement*, GstPad* pad) {
                unsigned session = 0, ssrc = 0, payload = 0;
                if (auto self = weak.lock();
                    self && sscanf(GST_PAD_NAME(pad), "recv_rtp_src_%u_%u_%u", &session, &ssrc,
                                   &payload) == 3) {
                    std::lock_guard lock(self->watchMutex);
                    self->remoteSsrcs.insert(ssrc);
                }
            });
        glib::connect<void(GstElement*, guint, guint)>(
            rtpbin.get(), "on-bye-ssrc", [weak](GstElement*, guint, guint ssrc) {
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                bool allGone = false;
                {
                    std::lock_guard lock(self->watchMutex);
                    allGone = self->remoteSsrcs.erase(ssrc) == 1 && self->remoteSsrcs.empty();
                }
                if (allGone) {
                    self->report(PeerConnection::State::Closed);
                }
            });
    }
}

void GstConnection::report(PeerConnection::State next) {
    using State = PeerConnection::State;
    std::lock_guard delivery(stateDeliveryMutex);
    {
        std::lock_guard lock(stateMutex);
        if (next == current || current == State::Closed || current == State::Failed) {
            return;
        }
        // Once the peer is found gone, webrtcbin's stale "connected" must not revive it.
        if (current == State::Disconnected &&
            (next == State::Connected || next == State::Connecting || next == State::New)) {
            return;
        }
        current = next;
    }
    if (next == State::Connected) {
        std::lock_guard lock(watchMutex);
        if (!everConnected) {
            everConnected = true;
            worker->lastActivity = std::max(worker->lastActivity.load(), nowTicks());
        }
    }
    auto callback = callbackCopy(stateCallback);
    if (callback) {
        gate->run([&] { callback(next); });
    }
}

void GstConnection::newTransceiver(GstWebRTCRTPTransceiver* transceiver) {
    guint mline = G_MAXUINT;
    GstWebRTCKind kind = GST_WEBRTC_KIND_UNKNOWN;
    g_object_get(transceiver, "mlineindex", &mline, "kind", &kind, nullptr);
    std::string mediaKind;
    {
        std::lock_guard lock(sdpMutex);
        if (mline < remoteMedia.size()) {
            mediaKind = remoteMedia[mline].kind;
        }
    }
    if (mediaKind.empty()) {
        mediaKind = kind == GST_WEBRTC_KIND_AUDIO ? "audio" : "video";
    }
    const char* preferred = nullptr;
    if (mediaKind == "audio") {
        preferred = "application/x-rtp,media=audio,encoding-name=OPUS,clock-rate=48000";
    } else if (mediaKind == "video") {
        preferred = config.videoCodec == VideoCodec::H265
                        ? "application/x-rtp,media=video,encoding-name=H265,clock-rate=90000"
                        : "application/x-rtp,media=video,encoding-name=H264,clock-rate=90000";
    }
    g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY, nullptr);
    if (preferred) {
        glib::CapsPtr caps(gst_caps_from_string(preferred));
        g_object_set(transceiver, "codec-preferences", caps.get(), nullptr);
    }
}

std::string GstConnection::midAt(unsigned mline) const {
    std::lock_guard lock(sdpMutex);
    if (mline < remoteMedia.size() && !remoteMedia[mline].mid.empty()) {
        return remoteMedia[mline].mid;
    }
    return std::to_string(mline);
}

void GstConnection::localCandidate(unsigned mline, const char* text) {
    if (!text || !*text) {
        return;
    }
    Candidate candidate(text, midAt(mline));
    {
        std::lock_guard lock(candidateMutex);
        heldCandidates.push_back(std::move(candidate));
    }
    drainCandidates();
}

// Hands held candidates on in order, once the answer is out; one thread drains at a time.
void GstConnection::drainCandidates() {
    std::unique_lock lock(candidateMutex);
    if (!descriptionDelivered || draining) {
        return;
    }
    draining = true;
    while (!heldCandidates.empty()) {
        Candidate next = std::move(heldCandidates.front());
        heldCandidates.pop_front();
        lock.unlock();
        if (auto callback = callbackCopy(localCandidateCallback)) {
            gate->run([&] { callback(next); });
        }
        lock.lock();
    }
    draining = false;
}

void GstConnection::padAdded(GstPad* pad) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) {
        return;
    }
    std::string mid;
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(pad), "transceiver")) {
        g_object_get(pad, "transceiver", &transceiver, nullptr);
    }
    auto transceiverRef = glib::Ref<GstWebRTCRTPTransceiver>::adopt(transceiver);
    if (transceiver) {
        gchar* text = nullptr;
        guint mline = G_MAXUINT;
        g_object_get(transceiver, "mid", &text, "mlineindex", &mline, nullptr);
        mid = glib::takeString(text);
        if (mid.empty()) {
            mid = midAt(mline);
        }
    }
    auto track = std::make_shared<GstTrack>(mid, gate);
    if (auto callback = callbackCopy(trackCallback)) {
        gate->run([&] { callback(std::make_shared<Track>(track)); });
    }
    try {
        track->attach(GST_BIN(pipeline.get()), pad);
    } catch (const std::exception&) {
        // A missing element leaves this track silent; the connection goes on.
    }
}

void GstConnection::dataChannel(GstWebRTCDataChannel* channel) {
    // A remote peer that ends cleanly closes its channels (an SCTP stream reset) before it
    // goes; once every one of them is closed the session is over. The client never closes a
    // channel itself before close(), after which no state is reported any more.
    {
        std::lock_guard lock(watchMutex);
        ++remoteChannelsOpen;
    }
    std::weak_ptr<GstConnection> weak = weak_from_this();
    auto counted = std::make_shared<std::atomic<bool>>(false);
    glib::connect<void(GstWebRTCDataChannel*)>(
        channel, "on-close", [weak, counted](GstWebRTCDataChannel*) {
            auto self = weak.lock();
            if (!self || counted->exchange(true)) {
                return;
            }
            bool allClosed = false;
            {
                std::lock_guard lock(self->watchMutex);
                allClosed = --self->remoteChannelsOpen == 0 && self->everConnected;
            }
            if (allClosed) {
                self->report(PeerConnection::State::Closed);
            }
        });
    auto wrapped = GstDataChannel::create(channel, gate);
    if (auto callback = callbackCopy(dataChannelCallback)) {
        gate->run([&] { callback(std::make_shared<DataChannel>(wrapped)); });
    }
}

void GstConnection::setRemoteDescription(Description description) {
    if (gate->isClosed()) {
        throw std::runtime_error("The peer connection is closed");
    }
    if (description.type() != Description::Type::Offer) {
        throw std::invalid_argument("Only an offer can be applied to an answering connection");
    }
    std::string text = description;
    auto media = sdp::listMedia(text);
    text = sdp::unifyBundleCredentials(text);

    GstSDPMessage* message = nullptr;
    gst_sdp_message_new_from_text(text.c_str(), &message);
    if (!message) {
        throw std::invalid_argument("The offer is not a session description");
    }
    {
        std::lock_guard lock(sdpMutex);
        if (haveRemote) {
            gst_sdp_message_free(message);
            throw std::runtime_error("Renegotiation is not supported");
        }
        remoteMedia = media;
        haveRemote = true;
    }
    DescriptionPtr offer(gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, message));

    auto rollback = [&] {
        std::lock_guard lock(sdpMutex);
        haveRemote = false;
        remoteMedia.clear();
    };
    DescriptionPtr answer;
    try {
        PromiseWaiter applied;
        g_signal_emit_by_name(webrtc.get(), "set-remote-description", offer.get(), applied.get());
        applied.wait("Applying the offer");

        PromiseWaiter created;
        g_signal_emit_by_name(webrtc.get(), "create-answer", nullptr, created.get());
        auto reply = created.wait("Creating the answer");
        GstWebRTCSessionDescription* raw = nullptr;
        if (reply) {
            gst_structure_get(reply.get(), "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &raw,
                              nullptr);
        }
        answer.reset(raw);
        if (!answer) {
            throw std::runtime_error("The engine created no answer");
        }
        PromiseWaiter set;
        g_signal_emit_by_name(webrtc.get(), "set-local-description", answer.get(), set.get());
        set.wait("Setting the answer");
    } catch (...) {
        rollback();
        throw;
    }

    watchTransports();
    std::string answerText = glib::takeString(gst_sdp_message_as_text(answer->sdp));
    if (auto callback = callbackCopy(localDescriptionCallback)) {
        Description local(answerText, "answer");
        gate->run([&] { callback(local); });
    }
    {
        std::lock_guard lock(candidateMutex);
        descriptionDelivered = true;
    }
    drainCandidates();
}

void GstConnection::addRemoteCandidate(Candidate candidate) {
    if (gate->isClosed()) {
        return;
    }
    sdp::RemoteCandidate placed;
    {
        std::lock_guard lock(sdpMutex);
        if (!haveRemote) {
            throw std::invalid_argument("A candidate needs the remote description first");
        }
        placed = sdp::placeRemoteCandidate(remoteMedia, candidate.mid(), candidate.candidate());
    }
    if (placed.text.empty()) {
        return;  // end of candidates
    }
    g_signal_emit_by_name(webrtc.get(), "add-ice-candidate", placed.mline, placed.text.c_str());
}

PeerConnection::State GstConnection::state() const {
    std::lock_guard lock(stateMutex);
    return current;
}

void GstConnection::close() {
    {
        std::lock_guard lock(closeMutex);
        if (closing) {
            return;
        }
        closing = true;
    }
    bool inside = gate->insideCallback();
    gate->close(closeTimeout);
    {
        std::lock_guard lock(stateMutex);
        current = PeerConnection::State::Closed;
    }
    if (!workerThread.joinable()) {
        if (pipeline) {
            gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        }
        return;
    }
    {
        std::lock_guard lock(worker->mutex);
        worker->teardown = true;
    }
    worker->wake.notify_all();
    if (inside || workerThread.get_id() == std::this_thread::get_id()) {
        return;  // a streaming thread must not wait for the pipeline to stop
    }
    std::unique_lock lock(worker->mutex);
    worker->wake.wait_for(lock, closeTimeout, [&] { return worker->done; });
}

void GstConnection::onLocalDescription(std::function<void(Description)> callback) {
    std::lock_guard lock(callbackMutex);
    localDescriptionCallback = std::move(callback);
}
void GstConnection::onLocalCandidate(std::function<void(Candidate)> callback) {
    std::lock_guard lock(callbackMutex);
    localCandidateCallback = std::move(callback);
}
void GstConnection::onStateChange(std::function<void(PeerConnection::State)> callback) {
    std::lock_guard lock(callbackMutex);
    stateCallback = std::move(callback);
}
void GstConnection::onTrack(std::function<void(std::shared_ptr<Track>)> callback) {
    std::lock_guard lock(callbackMutex);
    trackCallback = std::move(callback);
}
void GstConnection::onDataChannel(std::function<void(std::shared_ptr<DataChannel>)> callback) {
    std::lock_guard lock(callbackMutex);
    dataChannelCallback = std::move(callback);
}

}  // namespace

std::shared_ptr<PeerConnection::Impl> makeEngineConnection(const Configuration& config) {
    auto connection = std::make_shared<GstConnection>(config);
    connection->start();
    return connection;
}

std::shared_future<void> engineCleanup() {
    // GStreamer stays initialised for the life of the process; nothing is left to release.
    std::promise<void> done;
    done.set_value();
    return done.get_future().share();
}

}  // namespace rtc
