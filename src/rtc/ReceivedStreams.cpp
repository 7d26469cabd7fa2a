#include "rtc/ReceivedStreams.hpp"

#include <gst/rtp/gstrtpbuffer.h>

#include <cstdlib>
#include <cstring>

#include "rtc/Webrtcbin.hpp"

namespace rtc {

namespace {

// RTCP may carry an early retransmission request only once per regular report interval
// (RFC 4585), which GStreamer keeps at 5 s or more by default, so most requests would wait for
// the next report, long after their frame was given up. Reports every few milliseconds let a
// request go out at once or with the next report. The interval also follows the RTCP
// bandwidth, which GStreamer would derive from the bitrate seen so far (nothing at the start),
// so that is fixed too: at most 200 kbit/s of reports, a few per cent of a game stream.
constexpr guint64 feedbackInterval = 5 * GST_MSECOND;
constexpr double feedbackBandwidth = 200000;

struct SdpDeleter {
    void operator()(GstSDPMessage* message) const { gst_sdp_message_free(message); }
};

// The payload types that the description's "rtx" formats repair ("a=fmtp:R apt=P").
std::set<std::uint8_t> repairedPayloadTypes(const std::string& text) {
    std::set<std::uint8_t> repaired;
    GstSDPMessage* raw = nullptr;
    gst_sdp_message_new_from_text(text.c_str(), &raw);
    std::unique_ptr<GstSDPMessage, SdpDeleter> message(raw);
    if (!message) {
        return repaired;
    }
    for (guint m = 0; m < gst_sdp_message_medias_len(message.get()); ++m) {
        const GstSDPMedia* media = gst_sdp_message_get_media(message.get(), m);
        std::set<int> rtx;
        for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
            const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
            if (attribute->value && std::strcmp(attribute->key, "rtpmap") == 0 &&
                std::strstr(attribute->value, " rtx/") != nullptr) {
                rtx.insert(std::atoi(attribute->value));
            }
        }
        for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
            const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
            if (!attribute->value || std::strcmp(attribute->key, "fmtp") != 0 ||
                rtx.count(std::atoi(attribute->value)) == 0) {
                continue;
            }
            if (const char* apt = std::strstr(attribute->value, "apt=")) {
                const int target = std::atoi(apt + 4);
                if (target >= 0 && target < 128) {
                    repaired.insert(static_cast<std::uint8_t>(target));
                }
            }
        }
    }
    return repaired;
}

void onEnteringPacket(ReceivedStream& stream, GstBuffer* buffer) {
    GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
    if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp)) {
        return;
    }
    const std::uint16_t sequence = gst_rtp_buffer_get_seq(&rtp);
    const std::uint32_t timestamp = gst_rtp_buffer_get_timestamp(&rtp);
    const std::uint8_t payloadType = gst_rtp_buffer_get_payload_type(&rtp);
    gst_rtp_buffer_unmap(&rtp);
    stream.entered(sequence, timestamp, payloadType,
                   GST_BUFFER_FLAG_IS_SET(buffer, GST_RTP_BUFFER_FLAG_RETRANSMISSION));
}

}  // namespace

void ReceivedStreams::watch(GstElement* webrtc) {
    rtpBin = glib::Ref<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(webrtc), "rtpbin"));
    if (!rtpBin) {
        return;
    }
    glib::connect<void(GstElement*, GstElement*, guint, guint)>(
        rtpBin.get(), "new-jitterbuffer",
        [weak = weak_from_this()](GstElement*, GstElement* jitterBuffer, guint, guint) {
            if (auto self = weak.lock()) {
                self->added(jitterBuffer);
            }
        });
}

void ReceivedStreams::added(GstElement* jitterBuffer) {
    auto stream = std::make_shared<ReceivedStream>(jitterBuffer);
    {
        std::lock_guard lock(mutex);
        streams.push_back(stream);
    }
    using Shared = std::shared_ptr<ReceivedStream>;
    auto sink = glib::Ref<GstPad>::adopt(gst_element_get_static_pad(jitterBuffer, "sink"));
    if (!sink) {
        return;
    }
    // Retransmitted packets arrive here restored to their original numbers, flagged.
    gst_pad_add_probe(
        sink.get(),
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            ReceivedStream& stream = *glib::userData<Shared>(data);
            glib::guardedForC("retransmission watch", [&] {
                if ((info->type & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
                    onEnteringPacket(stream, GST_PAD_PROBE_INFO_BUFFER(info));
                } else if (GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info)) {
                    for (guint i = 0; i < gst_buffer_list_length(list); ++i) {
                        onEnteringPacket(stream, gst_buffer_list_get(list, i));
                    }
                }
            });
            return GST_PAD_PROBE_OK;
        },
        glib::newUserData<Shared>(stream), &glib::freeUserData<Shared>);
}

void ReceivedStreams::answered(const std::string& answer) {
    auto repaired = repairedPayloadTypes(answer);
    {
        std::lock_guard lock(mutex);
        retransmitted = repaired;
    }
    if (!rtpBin || repaired.empty()) {
        return;
    }
    // Bundled media share session 0; look at a few in case the offer did not bundle.
    for (guint id = 0; id < 8; ++id) {
        GObject* session = nullptr;
        g_signal_emit_by_name(rtpBin.get(), "get-internal-session", id, &session);
        if (session) {
            g_object_set(session, "rtcp-min-interval", feedbackInterval, "rtcp-fraction",
                         feedbackBandwidth, nullptr);
            g_object_unref(session);
        }
    }
}

std::shared_ptr<ReceivedStream> ReceivedStreams::find(std::uint8_t payloadType) const {
    std::lock_guard lock(mutex);
    for (auto it = streams.rbegin(); it != streams.rend(); ++it) {
        if ((*it)->payloadType() == payloadType) {
            return *it;
        }
    }
    return nullptr;
}

bool ReceivedStreams::retransmits(std::uint8_t payloadType) const {
    std::lock_guard lock(mutex);
    return retransmitted.count(payloadType) != 0;
}

}  // namespace rtc
