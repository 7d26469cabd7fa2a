#include "rtc/GstTrack.hpp"

#include <gst/app/gstappsink.h>
#include <gst/rtp/gstrtpbuffer.h>
#include <gst/video/video.h>

#include <cstring>

#include "rtc/WeakBind.hpp"

namespace rtc {

namespace {

struct Chain {
    const char* depayloader;
    const char* outputCaps;  // nullptr: whatever the depayloader gives
    bool annexB;
};

std::string encodingOf(GstPad* pad, std::uint8_t& payloadType) {
    glib::CapsPtr caps(gst_pad_get_current_caps(pad));
    if (!caps || gst_caps_get_size(caps.get()) == 0) {
        return {};
    }
    const GstStructure* structure = gst_caps_get_structure(caps.get(), 0);
    int payload = 0;
    if (gst_structure_get_int(structure, "payload", &payload)) {
        payloadType = static_cast<std::uint8_t>(payload);
    }
    const char* name = gst_structure_get_string(structure, "encoding-name");
    return name ? name : "";
}

// The chain for a handler and the negotiated encoding; nullopt when they do not fit.
std::optional<Chain> chainFor(const MediaHandler* handler, const std::string& encoding) {
    if (dynamic_cast<const H265RtpDepacketizer*>(handler)) {
        if (encoding != "H265") {
            return std::nullopt;
        }
        return Chain{"rtph265depay", "video/x-h265,stream-format=byte-stream,alignment=au", true};
    }
    if (dynamic_cast<const H264RtpDepacketizer*>(handler)) {
        if (encoding != "H264") {
            return std::nullopt;
        }
        return Chain{"rtph264depay", "video/x-h264,stream-format=byte-stream,alignment=au", true};
    }
    if (dynamic_cast<const RtpDepacketizer*>(handler)) {
        if (encoding == "OPUS") {
            return Chain{"rtpopusdepay", nullptr, false};
        }
    }
    return std::nullopt;
}

GstElement* makeElement(const char* factory) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (!element) {
        throw std::runtime_error(std::string("GStreamer element missing: ") + factory);
    }
    return element;
}

void linkToFakesink(GstBin* pipeline, GstPad* source) {
    GstElement* sink = makeElement("fakesink");
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(pipeline, sink);
    gst_element_sync_state_with_parent(sink);
    glib::Ref<GstPad> sinkPad = glib::Ref<GstPad>::adopt(gst_element_get_static_pad(sink, "sink"));
    gst_pad_link(source, sinkPad.get());
}

}  // namespace

GstTrack::GstTrack(std::string mid, std::string kind, std::shared_ptr<CallbackGate> gate,
                   std::shared_ptr<ReceivedStreams> streams)
    : mediaId(std::move(mid)),
      mediaKind(std::move(kind)),
      gate(std::move(gate)),
      streams(std::move(streams)) {}

void GstTrack::discard(GstBin* pipeline, GstPad* source) {
    linkToFakesink(pipeline, source);
}

void GstTrack::setMediaHandler(std::shared_ptr<MediaHandler> newHandler) {
    std::lock_guard lock(mutex);
    if (!attached) {
        handler = std::move(newHandler);
    }
}

void GstTrack::onFrame(std::function<void(binary, FrameInfo)> callback) {
    std::lock_guard lock(mutex);
    frameCallback = std::move(callback);
}

ReceiveStats GstTrack::receiveStats() const {
    std::shared_ptr<ReceivedStream> stream;
    {
        std::lock_guard lock(mutex);
        stream = received;
    }
    return stream ? stream->stats() : ReceiveStats{};
}

bool GstTrack::requestKeyframe() {
    glib::Ref<GstElement> depay;
    {
        std::lock_guard lock(mutex);
        depay = depayloader;
    }
    if (!depay || gate->isClosed()) {
        return false;
    }
    // Upstream, the RTP session turns this into a PLI when the answer allowed one.
    GstEvent* event = gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0);
    glib::Ref<GstPad> sinkPad =
        glib::Ref<GstPad>::adopt(gst_element_get_static_pad(depay.get(), "sink"));
    return gst_pad_push_event(sinkPad.get(), event) == TRUE;
}

void GstTrack::attach(GstBin* pipeline, GstPad* source) {
    std::shared_ptr<MediaHandler> chosen;
    {
        std::lock_guard lock(mutex);
        attached = true;
        chosen = handler;
    }
    std::string encoding = encodingOf(source, payloadType);
    auto chain = chosen ? chainFor(chosen.get(), encoding) : std::nullopt;
    if (!chain) {
        linkToFakesink(pipeline, source);
        return;
    }
    if (auto* depacketizer = dynamic_cast<const RtpDepacketizer*>(chosen.get())) {
        clockRate = depacketizer->clockRate;
    }
    if (auto* h264 = dynamic_cast<const H264RtpDepacketizer*>(chosen.get())) {
        longStartCodes = h264->separator == NalUnit::Separator::LongStartSequence ||
                         h264->separator == NalUnit::Separator::StartSequence;
    } else if (auto* h265 = dynamic_cast<const H265RtpDepacketizer*>(chosen.get())) {
        longStartCodes = h265->separator == NalUnit::Separator::LongStartSequence ||
                         h265->separator == NalUnit::Separator::StartSequence;
    }

    GstElement* depay = makeElement(chain->depayloader);
    GstElement* filter = makeElement("capsfilter");
    if (chain->outputCaps) {
        glib::CapsPtr caps(gst_caps_from_string(chain->outputCaps));
        g_object_set(filter, "caps", caps.get(), nullptr);
    }
    GstElement* sink = makeElement("appsink");
    g_object_set(sink, "sync", FALSE, "async", FALSE, "max-buffers", 8u, "drop", FALSE,
                 "enable-last-sample", FALSE, nullptr);

    // The appsink's hold on the track: a sample that arrives after the track is gone is dropped.
    auto deliverSample = weakBind(weak_from_this(), &GstTrack::deliver);
    using Deliver = decltype(deliverSample);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink* appsink, gpointer data) {
        GstSample* sample = gst_app_sink_pull_sample(appsink);
        if (!sample) {
            return GST_FLOW_EOS;
        }
        // A frame that cannot be delivered (out of memory) is lost; the stream goes on.
        glib::guardedForC("video frame delivery", [&] { glib::userData<Deliver>(data)(sample); });
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks,
                               glib::newUserData<Deliver>(std::move(deliverSample)),
                               &glib::freeUserData<Deliver>);

    {
        std::lock_guard lock(mutex);
        depayloader = glib::Ref<GstElement>::share(depay);
    }
    gst_bin_add_many(pipeline, depay, filter, sink, nullptr);
    gst_element_link_many(depay, filter, sink, nullptr);
    gst_element_sync_state_with_parent(sink);
    gst_element_sync_state_with_parent(filter);
    gst_element_sync_state_with_parent(depay);
    // The jitter buffer that feeds this track has seen its first packets by now.
    std::shared_ptr<ReceivedStream> stream = streams ? streams->find(payloadType) : nullptr;
    if (stream && chain->annexB && streams->retransmits(payloadType)) {
        stream->repairByRetransmission();
    }
    {
        std::lock_guard lock(mutex);
        received = stream;
    }
    packetWatch->stream = stream;
    glib::Ref<GstPad> sinkPad = glib::Ref<GstPad>::adopt(gst_element_get_static_pad(depay, "sink"));
    using SharedWatch = std::shared_ptr<PacketWatch>;
    gst_pad_add_probe(
        sinkPad.get(),
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        &GstTrack::onRtpPacket, glib::newUserData<SharedWatch>(packetWatch),
        &glib::freeUserData<SharedWatch>);
    gst_pad_link(source, sinkPad.get());
}

GstPadProbeReturn GstTrack::onRtpPacket(GstPad*, GstPadProbeInfo* info, gpointer data) {
    PacketWatch& watch = *glib::userData<std::shared_ptr<PacketWatch>>(data);
    // True when the packet takes its frame past the size bound: the depayloader never gets it.
    auto look = [&watch](GstBuffer* buffer) {
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        if (buffer == nullptr || !gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp)) {
            return false;
        }
        const std::uint32_t timestamp = gst_rtp_buffer_get_timestamp(&rtp);
        const std::uint16_t sequence = gst_rtp_buffer_get_seq(&rtp);
        const std::size_t payload = gst_rtp_buffer_get_payload_len(&rtp);
        gst_rtp_buffer_unmap(&rtp);
        if (!watch.seen.load() || timestamp != watch.frameTimestamp) {
            watch.frameTimestamp = timestamp;
            watch.frameBytes = 0;
        }
        watch.frameBytes += payload;
        watch.last.store(timestamp);
        watch.seen.store(true);
        if (watch.stream && watch.stream->left(sequence)) {
            watch.damaged.store(true);
        }
        if (watch.frameBytes > RtpDepacketizer::maxFrameBytes) {
            watch.oversized.store(true);
            return true;
        }
        return false;
    };
    const bool drop = glib::guardedForC("packet watch", [&] {
        bool over = false;
        if ((info->type & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
            over = look(GST_PAD_PROBE_INFO_BUFFER(info));
        } else if (GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info)) {
            for (guint i = 0; i < gst_buffer_list_length(list); ++i) {
                over = look(gst_buffer_list_get(list, i)) || over;
            }
        }
        return over;
    });
    return drop ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

void GstTrack::deliver(GstSample* sample) {
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!buffer) {
        return;
    }
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        return;
    }
    FrameInfo info;
    info.payloadType = payloadType;
    info.oversized = packetWatch->oversized.exchange(false);
    binary frame;
    if (info.oversized) {
        // What the depayloader put together is a fragment: nothing of it is copied.
    } else if (longStartCodes) {
        frame = withLongStartCodes(map.data, map.size);
    } else {
        auto* from = reinterpret_cast<const byte*>(map.data);
        frame.assign(from, from + map.size);
    }
    gst_buffer_unmap(buffer, &map);

    // The buffer's time is the receiver's clock, which the jitter buffer may hold still for
    // many frames; the RTP timestamp is the sender's own, one per frame.
    info.damaged = packetWatch->damaged.exchange(false);
    if (info.oversized) {
        packetWatch->damaged.store(true);  // the frames after it lack it
    }
    if (packetWatch->seen.load()) {
        info.timestamp = packetWatch->last.load();
        if (packetWatch->stream) {
            info.arrival = packetWatch->stream->arrivalOf(info.timestamp);
        }
    } else if (GST_BUFFER_PTS_IS_VALID(buffer)) {
        info.timestamp = static_cast<std::uint32_t>(
            gst_util_uint64_scale(GST_BUFFER_PTS(buffer), clockRate, GST_SECOND));
    }
    gate->run([&] {
        std::function<void(binary, FrameInfo)> callback;
        {
            std::lock_guard lock(mutex);
            callback = frameCallback;
        }
        if (callback) {
            callback(std::move(frame), info);
        }
    });
}

}  // namespace rtc
