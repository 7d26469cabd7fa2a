// The answering peer connection on GStreamer's webrtcbin. The connection wires the engine's
// signals to its parts: negotiation, ICE set-up, the liveness watch and the transport watch.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "rtc/CallbackGate.hpp"
#include "rtc/CallbackSlot.hpp"
#include "rtc/EngineLog.hpp"
#include "rtc/Glib.hpp"
#include "rtc/GstDataChannel.hpp"
#include "rtc/GstTrack.hpp"
#include "rtc/IceSetup.hpp"
#include "rtc/Impl.hpp"
#include "rtc/LivenessWatch.hpp"
#include "rtc/Negotiation.hpp"
#include "rtc/ReceivedStreams.hpp"
#include "rtc/Sdp.hpp"
#include "rtc/SsrcLatch.hpp"
#include "rtc/TransportWatch.hpp"
#include "rtc/WeakBind.hpp"
#include "rtc/Webrtcbin.hpp"

namespace rtc {

namespace {

using namespace std::chrono_literals;

constexpr auto closeTimeout = 5s;

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

class GstConnection : public PeerConnection::Impl,
                      public std::enable_shared_from_this<GstConnection> {
  public:
    explicit GstConnection(Configuration config) : config(std::move(config)) {}
    ~GstConnection() override { close(); }

    void start();

    void close() override;
    void setRemoteDescription(Description description) override;
    void addRemoteCandidate(Candidate candidate) override;
    PeerConnection::State state() const override;
    void onLocalDescription(std::function<void(Description)> callback) override {
        localDescriptionSlot.set(std::move(callback));
    }
    void onLocalCandidate(std::function<void(Candidate)> callback) override {
        localCandidateSlot.set(std::move(callback));
    }
    void onStateChange(std::function<void(PeerConnection::State)> callback) override {
        stateSlot.set(std::move(callback));
    }
    void onTrack(std::function<void(std::shared_ptr<Track>)> callback) override {
        trackSlot.set(std::move(callback));
    }
    void onDataChannel(std::function<void(std::shared_ptr<DataChannel>)> callback) override {
        dataChannelSlot.set(std::move(callback));
    }

  private:
    void connectSignals();
    void check();
    void report(PeerConnection::State next);
    void iceStateChanged(GstWebRTCICEConnectionState state);
    void announceTracks();
    void padAdded(GstPad* pad);
    void dataChannel(GstWebRTCDataChannel* channel);

    const Configuration config;
    const std::shared_ptr<CallbackGate> gate = std::make_shared<CallbackGate>();
    glib::Ref<GstElement> pipeline;
    glib::Ref<GstElement> webrtc;

    CallbackSlot<Description> localDescriptionSlot;
    CallbackSlot<Candidate> localCandidateSlot;
    CallbackSlot<PeerConnection::State> stateSlot;
    CallbackSlot<std::shared_ptr<Track>> trackSlot;
    CallbackSlot<std::shared_ptr<DataChannel>> dataChannelSlot;

    mutable std::mutex stateMutex;
    PeerConnection::State current = PeerConnection::State::New;
    std::mutex stateDeliveryMutex;  // keeps state callbacks in the order of the changes

    // Made by start(), once the element exists.
    std::unique_ptr<Negotiation> negotiation;
    std::shared_ptr<TransportWatch> transports;
    const std::shared_ptr<ReceivedStreams> received = std::make_shared<ReceivedStreams>();
    const std::shared_ptr<SsrcLatch> latch = std::make_shared<SsrcLatch>();

    // One track per media section, by mid, made when the offer is applied; the first stream
    // that arrives on the section feeds it, and any later one is discarded.
    struct SectionTrack {
        std::shared_ptr<GstTrack> track;
        bool attached = false;
        bool extraReported = false;
    };
    std::mutex tracksMutex;
    std::map<std::string, SectionTrack> tracks;

    std::atomic<bool> iceConnected{false};
    bool socketsTuned = false;  // liveness thread only

    std::mutex closeMutex;
    bool closing = false;
    // Declared last: its thread is ended (or left to end on its own) before the rest goes.
    LivenessWatch liveness;
};

void GstConnection::start() {
    glib::initialiseGstreamer();
    pipeline = glib::Ref<GstElement>::sink(gst_pipeline_new(nullptr));
    GstElement* element = gst_element_factory_make("webrtcbin", nullptr);
    if (!pipeline || !element) {
        throw std::runtime_error("GStreamer webrtcbin is not available");
    }
    webrtc = glib::Ref<GstElement>::share(element);
    gst_bin_add(GST_BIN(pipeline.get()), element);
    g_object_set(element, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, "latency", 0u,
                 nullptr);
    for (const auto& line : configureIceServers(element, config.iceServers)) {
        writeEngineLine(line);
    }
    if (config.bindAddress && !gatherOnlyOn(element, *config.bindAddress)) {
        throw std::invalid_argument("Cannot gather on address \"" + *config.bindAddress + "\"");
    } else if (config.alsoGatherOn && !gatherAlsoOn(element, *config.alsoGatherOn)) {
        throw std::invalid_argument("Cannot gather on address \"" + *config.alsoGatherOn + "\"");
    }

    const auto weak = weak_from_this();
    negotiation = std::make_unique<Negotiation>(
        webrtc, config.videoCodec,
        [this](Candidate candidate) { localCandidateSlot.run(*gate, std::move(candidate)); });
    transports = std::make_shared<TransportWatch>(weakBind(weak, &GstConnection::report));
    connectSignals();
    received->watch(element);
    if (auto rtpBin =
            glib::Ref<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(element), "rtpbin"))) {
        latch->watch(rtpBin.get());
    }
    liveness.watchNetwork(pipeline.get());

    logBusMessages(pipeline.get());

    // Starting now makes webrtcbin generate its DTLS certificate before the offer arrives.
    if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        throw std::runtime_error("GStreamer webrtcbin could not start");
    }
    liveness.start(pipeline, weakBind(weak, &GstConnection::check));
}

void GstConnection::connectSignals() {
    const auto weak = weak_from_this();
    GstElement* element = webrtc.get();

    glib::connect<void(GstElement*, GstWebRTCRTPTransceiver*)>(
        element, "on-new-transceiver",
        weakBind(weak, [](GstConnection& self, GstElement*, GstWebRTCRTPTransceiver* transceiver) {
            self.negotiation->newTransceiver(transceiver);
        }));
    glib::connect<void(GstElement*, guint, gchar*)>(
        element, "on-ice-candidate",
        weakBind(weak, [](GstConnection& self, GstElement*, guint mline, gchar* text) {
            self.negotiation->localCandidate(mline, text);
        }));
    glib::connect<void(GstElement*, GstPad*)>(
        element, "pad-added",
        weakBind(weak, [](GstConnection& self, GstElement*, GstPad* pad) { self.padAdded(pad); }));
    glib::connect<void(GstElement*, GstWebRTCDataChannel*)>(
        element, "on-data-channel",
        weakBind(weak, [](GstConnection& self, GstElement*, GstWebRTCDataChannel* channel) {
            self.dataChannel(channel);
        }));
    glib::connect<void(GstElement*, GParamSpec*)>(
        element, "notify::connection-state",
        weakBind(weak, [](GstConnection& self, GstElement* webrtc, GParamSpec*) {
            GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
            g_object_get(webrtc, "connection-state", &state, nullptr);
            self.report(fromGst(state));
        }));
    glib::connect<void(GstElement*, GParamSpec*)>(
        element, "notify::ice-connection-state",
        weakBind(weak, [](GstConnection& self, GstElement* webrtc, GParamSpec*) {
            GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
            g_object_get(webrtc, "ice-connection-state", &state, nullptr);
            self.iceStateChanged(state);
        }));
}

// Runs on the liveness thread every round.
void GstConnection::check() {
    if (gate->isClosed()) {
        return;
    }
    // Tried again each round until ICE has selected a socket.
    if (iceConnected && !socketsTuned) {
        socketsTuned = raiseReceiveBuffers(webrtc.get());
    }
    if (liveness.silent()) {
        report(PeerConnection::State::Disconnected);
    }
}

void GstConnection::iceStateChanged(GstWebRTCICEConnectionState state) {
    if (state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED) {
        report(PeerConnection::State::Failed);
    } else if (state == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED ||
               state == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED) {
        iceConnected = true;
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
        transports->connected();
        liveness.arm();
    }
    stateSlot.run(*gate, next);
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
            mid = negotiation->midAt(mline);
        }
    }
    std::string kind;
    if (glib::CapsPtr caps{gst_pad_get_current_caps(pad)};
        caps && gst_caps_get_size(caps.get()) > 0) {
        const char* media =
            gst_structure_get_string(gst_caps_get_structure(caps.get(), 0), "media");
        kind = media ? media : "";
    }
    std::shared_ptr<GstTrack> track;
    bool report = false;
    {
        std::lock_guard lock(tracksMutex);
        auto found = tracks.find(mid);
        // webrtcbin can hand a stream whose SSRC the offer never named to the wrong
        // transceiver; its payload's media kind names the section, as one of each is kept.
        if (!kind.empty() && (found == tracks.end() || found->second.track->kind() != kind)) {
            found = std::find_if(tracks.begin(), tracks.end(), [&kind](const auto& entry) {
                return entry.second.track->kind() == kind;
            });
        }
        if (found != tracks.end() && !found->second.attached) {
            found->second.attached = true;
            track = found->second.track;
        } else if (found != tracks.end() && !found->second.extraReported) {
            found->second.extraReported = report = true;
        }
    }
    if (report) {
        writeEngineLine("rtp_extra_stream_dropped=" + mid);
    }
    try {
        if (track) {
            track->attach(GST_BIN(pipeline.get()), pad);
        } else {
            GstTrack::discard(GST_BIN(pipeline.get()), pad);
        }
    } catch (const std::exception&) {
        // A missing element leaves this track silent; the connection goes on.
    }
}

// The transceivers exist once the offer is applied: the tracks are reported then, before the
// answer goes out, not when their first packet arrives.
void GstConnection::announceTracks() {
    const auto media = negotiation->media();
    for (std::size_t index = 0; index < media.size(); ++index) {
        const std::string& kind = media[index].kind;
        if (kind != "audio" && kind != "video") {
            continue;
        }
        const std::string mid = negotiation->midAt(static_cast<unsigned>(index));
        auto track = std::make_shared<GstTrack>(mid, kind, gate, received);
        {
            std::lock_guard lock(tracksMutex);
            if (!tracks.emplace(mid, SectionTrack{track}).second) {
                continue;
            }
        }
        trackSlot.run(*gate, std::make_shared<Track>(track));
    }
}

void GstConnection::dataChannel(GstWebRTCDataChannel* channel) {
    transports->watchChannel(channel);
    auto wrapped = GstDataChannel::create(channel, gate);
    dataChannelSlot.run(*gate, std::make_shared<DataChannel>(wrapped));
}

void GstConnection::setRemoteDescription(Description description) {
    if (gate->isClosed()) {
        throw std::runtime_error("The peer connection is closed");
    }
    std::string answer = negotiation->answer(description);
    latch->allow(sdp::payloadTypes(answer));
    received->answered(answer);
    transports->watchTransports(webrtc.get(), sdp::fingerprints(description));
    announceTracks();
    localDescriptionSlot.run(*gate, Description(answer, "answer"));
    negotiation->answerDelivered();
}

void GstConnection::addRemoteCandidate(Candidate candidate) {
    if (gate->isClosed()) {
        return;
    }
    negotiation->addRemoteCandidate(candidate);
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
    if (!liveness.started()) {
        if (pipeline) {
            gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        }
        return;
    }
    // A streaming thread must not wait for the pipeline to stop.
    liveness.stop(!inside);
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
