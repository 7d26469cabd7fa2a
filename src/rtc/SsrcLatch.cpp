#include "rtc/SsrcLatch.hpp"

#include <gst/rtp/gstrtcpbuffer.h>
#include <gst/rtp/gstrtpbuffer.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rtc/EngineLog.hpp"

namespace rtc {

namespace {

constexpr std::size_t replacedKept = 64;

using Shared = std::shared_ptr<SsrcLatch>;

void reportExtra(std::uint32_t ssrc, std::uint8_t payloadType) {
    writeEngineLine("rtp_extra_ssrc=" + std::to_string(ssrc) + " payload_type=" +
                    std::to_string(payloadType) + ": carried on as the first stream");
}

struct Judged {
    bool keep = true;
    bool rewrite = false;
};

// The verdict on one buffer; applied when asked, which needs a writable buffer.
Judged judge(SsrcLatch& latch, GstBuffer* buffer, bool rtcp, bool apply) {
    SsrcLatch::Verdict verdict;
    std::uint32_t ssrc = 0;
    if (!rtcp) {
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        if (!gst_rtp_buffer_map(buffer, apply ? GST_MAP_READWRITE : GST_MAP_READ, &rtp)) {
            return {};  // not RTP: the bin refuses it itself
        }
        ssrc = gst_rtp_buffer_get_ssrc(&rtp);
        const std::uint8_t payloadType = gst_rtp_buffer_get_payload_type(&rtp);
        verdict = latch.rtp(payloadType, ssrc);
        if (apply && verdict.keep && verdict.ssrc != ssrc) {
            gst_rtp_buffer_set_ssrc(&rtp, verdict.ssrc);
        }
        gst_rtp_buffer_unmap(&rtp);
        if (verdict.firstExtra) {
            reportExtra(ssrc, payloadType);
        }
        return {verdict.keep, verdict.ssrc != ssrc};
    }
    GstRTCPBuffer compound = GST_RTCP_BUFFER_INIT;
    if (!gst_rtcp_buffer_map(buffer, apply ? GST_MAP_READWRITE : GST_MAP_READ, &compound)) {
        return {};
    }
    GstRTCPPacket packet;
    const GstRTCPType type = gst_rtcp_buffer_get_first_packet(&compound, &packet)
                                 ? gst_rtcp_packet_get_type(&packet)
                                 : GST_RTCP_TYPE_INVALID;
    // The RTP bin routes a compound packet by the sender of its first report or feedback and
    // refuses any other kind itself.
    if (type == GST_RTCP_TYPE_SR || type == GST_RTCP_TYPE_RR || type == GST_RTCP_TYPE_RTPFB ||
        type == GST_RTCP_TYPE_PSFB) {
        guint64 ntp = 0;
        guint32 rtpTime = 0, packets = 0, octets = 0;
        if (type == GST_RTCP_TYPE_SR) {
            gst_rtcp_packet_sr_get_sender_info(&packet, &ssrc, &ntp, &rtpTime, &packets, &octets);
        } else if (type == GST_RTCP_TYPE_RR) {
            ssrc = gst_rtcp_packet_rr_get_ssrc(&packet);
        } else {
            ssrc = gst_rtcp_packet_fb_get_sender_ssrc(&packet);
        }
        verdict = latch.rtcp(ssrc);
        if (apply && verdict.keep && verdict.ssrc != ssrc) {
            if (type == GST_RTCP_TYPE_SR) {
                gst_rtcp_packet_sr_set_sender_info(&packet, verdict.ssrc, ntp, rtpTime, packets,
                                                   octets);
            } else if (type == GST_RTCP_TYPE_RR) {
                gst_rtcp_packet_rr_set_ssrc(&packet, verdict.ssrc);
            } else {
                gst_rtcp_packet_fb_set_sender_ssrc(&packet, verdict.ssrc);
            }
        }
    }
    gst_rtcp_buffer_unmap(&compound);
    return {verdict.keep, verdict.ssrc != ssrc};
}

// Judges read-only first, so that a buffer is copied only when it must change.
template <bool Rtcp>
GstPadProbeReturn onPacket(GstPad*, GstPadProbeInfo* info, gpointer data) {
    SsrcLatch& latch = *glib::userData<Shared>(data);
    if ((info->type & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        const bool writable = gst_buffer_is_writable(buffer);
        const Judged judged = judge(latch, buffer, Rtcp, writable);
        if (!judged.keep) {
            return GST_PAD_PROBE_DROP;
        }
        if (judged.rewrite && !writable) {
            // Judged again on the copy: the latch answers the same for the same packet.
            buffer = gst_buffer_make_writable(buffer);
            GST_PAD_PROBE_INFO_DATA(info) = buffer;
            judge(latch, buffer, Rtcp, true);
        }
        return GST_PAD_PROBE_OK;
    }
    GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    if (!list) {
        return GST_PAD_PROBE_OK;
    }
    list = gst_buffer_list_make_writable(list);
    GST_PAD_PROBE_INFO_DATA(info) = list;
    for (guint i = 0; i < gst_buffer_list_length(list);) {
        GstBuffer* buffer = gst_buffer_list_get_writable(list, i);
        if (judge(latch, buffer, Rtcp, true).keep) {
            ++i;
        } else {
            gst_buffer_list_remove(list, i, 1);
        }
    }
    return GST_PAD_PROBE_OK;
}

}  // namespace

void SsrcLatch::allow(std::set<std::uint8_t> payloadTypes) {
    std::lock_guard lock(mutex);
    allowed = std::move(payloadTypes);
    restricted = true;
}

bool SsrcLatch::retired(std::uint32_t ssrc) const {
    return std::find(replaced.begin(), replaced.end(), ssrc) != replaced.end();
}

SsrcLatch::Verdict SsrcLatch::extra(Stream& stream, std::uint32_t ssrc) {
    replaced.push_back(stream.current);
    if (replaced.size() > replacedKept) {
        replaced.pop_front();
    }
    stream.current = ssrc;
    Verdict verdict{true, stream.first, !extraSeen};
    extraSeen = true;
    return verdict;
}

SsrcLatch::Verdict SsrcLatch::rtp(std::uint8_t payloadType, std::uint32_t ssrc) {
    std::lock_guard lock(mutex);
    if ((restricted && allowed.count(payloadType) == 0) || retired(ssrc)) {
        return {false, ssrc, false};
    }
    auto found = streams.find(payloadType);
    if (found == streams.end()) {
        streams.emplace(payloadType, Stream{ssrc, ssrc});
        return {true, ssrc, false};
    }
    if (found->second.current == ssrc) {
        return {true, found->second.first, false};
    }
    return extra(found->second, ssrc);
}

SsrcLatch::Verdict SsrcLatch::rtcp(std::uint32_t ssrc) {
    std::lock_guard lock(mutex);
    if (retired(ssrc)) {
        return {false, ssrc, false};
    }
    for (const auto& [payloadType, stream] : streams) {
        if (stream.current == ssrc) {
            return {true, stream.first, false};
        }
    }
    // The bin would make a stream for a sender it only knows from RTCP; a receive-only
    // client needs reports from its streams' senders alone.
    return {false, ssrc, false};
}

void SsrcLatch::watch(GstElement* rtpBin) {
    bin = glib::Ref<GstElement>::share(rtpBin);
    glib::connect<void(GstElement*, GstPad*)>(
        rtpBin, "pad-added", [weak = weak_from_this()](GstElement*, GstPad* pad) {
            auto self = weak.lock();
            if (!self || GST_PAD_DIRECTION(pad) != GST_PAD_SINK) {
                return;
            }
            const char* name = GST_PAD_NAME(pad);
            const bool rtcp = g_str_has_prefix(name, "recv_rtcp_sink_");
            if (!rtcp && !g_str_has_prefix(name, "recv_rtp_sink_")) {
                return;
            }
            gst_pad_add_probe(pad,
                              static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                           GST_PAD_PROBE_TYPE_BUFFER_LIST),
                              rtcp ? &onPacket<true> : &onPacket<false>,
                              glib::newUserData<Shared>(self), &glib::freeUserData<Shared>);
        });
}

}  // namespace rtc
