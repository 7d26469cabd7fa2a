#include "KeyFrameSkip.hpp"

#include "rtc/Glib.hpp"

namespace {

GstClockTime timeOf(GstBuffer* buffer) {
    return GST_BUFFER_PTS_IS_VALID(buffer) ? GST_BUFFER_PTS(buffer) : GST_BUFFER_DTS(buffer);
}

}  // namespace

std::shared_ptr<KeyFrameSkip> KeyFrameSkip::install(GstElement* pacer) {
    auto skip = std::make_shared<KeyFrameSkip>();
    auto sink = rtc::glib::Ref<GstPad>::adopt(gst_element_get_static_pad(pacer, "sink"));
    if (!sink) {
        return skip;
    }
    using Shared = std::shared_ptr<KeyFrameSkip>;
    gst_pad_add_probe(sink.get(), GST_PAD_PROBE_TYPE_BUFFER, &KeyFrameSkip::onFrame,
                      rtc::glib::newUserData<Shared>(skip), &rtc::glib::freeUserData<Shared>);
    return skip;
}

GstPadProbeReturn KeyFrameSkip::onFrame(GstPad*, GstPadProbeInfo* info, gpointer data) {
    KeyFrameSkip& self = *rtc::glib::userData<std::shared_ptr<KeyFrameSkip>>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer) {
        return GST_PAD_PROBE_OK;
    }
    const bool key = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    if (self.wanted.exchange(false) && !key) {
        self.skipping = true;
        self.skipFrom = timeOf(buffer);
    }
    if (self.skipping) {
        if (!key) {
            return GST_PAD_PROBE_DROP;
        }
        self.skipping = false;
        const GstClockTime reached = timeOf(buffer);
        if (GST_CLOCK_TIME_IS_VALID(reached) && GST_CLOCK_TIME_IS_VALID(self.skipFrom) &&
            reached > self.skipFrom) {
            self.shift += reached - self.skipFrom;
        }
    }
    if (self.shift == 0) {
        return GST_PAD_PROBE_OK;
    }
    buffer = gst_buffer_make_writable(buffer);
    if (GST_BUFFER_PTS_IS_VALID(buffer) && GST_BUFFER_PTS(buffer) >= self.shift) {
        GST_BUFFER_PTS(buffer) -= self.shift;
    }
    if (GST_BUFFER_DTS_IS_VALID(buffer) && GST_BUFFER_DTS(buffer) >= self.shift) {
        GST_BUFFER_DTS(buffer) -= self.shift;
    }
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
}
