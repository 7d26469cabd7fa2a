#pragma once

// webrtcbin's library API, with owners for the types of it that the engine files hold.

// The API is marked unstable; 1.22 is what we build against.
#define GST_USE_UNSTABLE_API
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <memory>

namespace rtc::glib {

struct DescriptionDeleter {
    void operator()(GstWebRTCSessionDescription* description) const {
        gst_webrtc_session_description_free(description);
    }
};
using DescriptionPtr = std::unique_ptr<GstWebRTCSessionDescription, DescriptionDeleter>;

}  // namespace rtc::glib
