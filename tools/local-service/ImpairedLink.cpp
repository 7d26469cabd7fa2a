#include "ImpairedLink.hpp"

#include <gst/rtp/gstrtpbuffer.h>

#include <memory>
#include <mutex>
#include <random>

#include "rtc/Glib.hpp"

namespace {

class Dropper {
  public:
    Dropper(double percent, std::uint32_t seed, std::uint8_t kept)
        : random(seed), drop(percent / 100.0), kept(kept) {}

    // Packets pass one streaming thread at a time, but retransmissions may come on another.
    bool shouldDrop(GstBuffer* buffer) {
        GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
        if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp)) {
            return false;
        }
        const bool video = gst_rtp_buffer_get_payload_type(&rtp) != kept;
        gst_rtp_buffer_unmap(&rtp);
        std::lock_guard lock(mutex);
        return video && drop(random);
    }

  private:
    std::mutex mutex;
    std::mt19937 random;
    std::bernoulli_distribution drop;
    const std::uint8_t kept;
};

GstPadProbeReturn dropSome(GstPad*, GstPadProbeInfo* info, gpointer data) {
    Dropper& dropper = *rtc::glib::userData<std::shared_ptr<Dropper>>(data);
    if ((info->type & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
        return dropper.shouldDrop(GST_PAD_PROBE_INFO_BUFFER(info)) ? GST_PAD_PROBE_DROP
                                                                   : GST_PAD_PROBE_OK;
    }
    GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    if (!list) {
        return GST_PAD_PROBE_OK;
    }
    list = gst_buffer_list_make_writable(list);
    gst_buffer_list_foreach(
        list,
        [](GstBuffer** buffer, guint, gpointer data) -> gboolean {
            if (static_cast<Dropper*>(data)->shouldDrop(*buffer)) {
                gst_buffer_unref(*buffer);
                *buffer = nullptr;  // removes it from the list
            }
            return TRUE;
        },
        &dropper);
    GST_PAD_PROBE_INFO_DATA(info) = list;
    return gst_buffer_list_length(list) == 0 ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

}  // namespace

GstElement* makeImpairedLink(const NetworkImpairment& impairment, std::uint8_t keptPayloadType) {
    if (!impairment.any()) {
        return nullptr;
    }
    GstElement* delay =
        gst_element_factory_make(impairment.jitterMs > 0 ? "netsim" : "identity", nullptr);
    if (!delay) {
        return nullptr;
    }
    if (impairment.jitterMs > 0) {
        g_object_set(delay, "delay-probability", 1.0F, "min-delay", 0, "max-delay",
                     impairment.jitterMs, "allow-reordering", FALSE, nullptr);
    }
    GstElement* bin = gst_bin_new(nullptr);
    gst_bin_add(GST_BIN(bin), delay);
    auto sink = rtc::glib::Ref<GstPad>::adopt(gst_element_get_static_pad(delay, "sink"));
    auto src = rtc::glib::Ref<GstPad>::adopt(gst_element_get_static_pad(delay, "src"));
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", sink.get()));
    gst_element_add_pad(bin, gst_ghost_pad_new("src", src.get()));
    if (impairment.lossPercent > 0) {
        const std::uint32_t seed = impairment.seed ? *impairment.seed : std::random_device{}();
        using Shared = std::shared_ptr<Dropper>;
        gst_pad_add_probe(sink.get(),
                          static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                       GST_PAD_PROBE_TYPE_BUFFER_LIST),
                          &dropSome,
                          rtc::glib::newUserData<Shared>(std::make_shared<Dropper>(
                              impairment.lossPercent, seed, keptPayloadType)),
                          &rtc::glib::freeUserData<Shared>);
    }
    return bin;
}
