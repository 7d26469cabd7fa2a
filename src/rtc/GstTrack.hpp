#pragma once

// A remote track on webrtcbin: a depayloader chain chosen by the media handler, ending in an
// appsink whose buffers become frames.

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "rtc/AnnexB.hpp"
#include "rtc/CallbackGate.hpp"
#include "rtc/Glib.hpp"
#include "rtc/Impl.hpp"

namespace rtc {

class GstTrack : public Track::Impl, public std::enable_shared_from_this<GstTrack> {
  public:
    GstTrack(std::string mid, std::shared_ptr<CallbackGate> gate);

    std::string mid() const override { return mediaId; }
    void setMediaHandler(std::shared_ptr<MediaHandler> handler) override;
    void onFrame(std::function<void(binary data, FrameInfo info)> callback) override;
    bool requestKeyframe() override;
    ReceiveStats receiveStats() const override { return {}; }

    // Builds the chain the handler asks for (a fakesink without one) and links the
    // webrtcbin source pad to it. Called once, after the track callback has returned.
    void attach(GstBin* pipeline, GstPad* source);

  private:
    static GstPadProbeReturn onRtpPacket(GstPad* pad, GstPadProbeInfo* info, gpointer data);
    void deliver(GstSample* sample);

    const std::string mediaId;
    const std::shared_ptr<CallbackGate> gate;

    mutable std::mutex mutex;
    bool attached = false;
    std::shared_ptr<MediaHandler> handler;
    std::function<void(binary, FrameInfo)> frameCallback;
    glib::Ref<GstElement> depayloader;

    // Set once by attach, before any sample arrives.
    bool longStartCodes = false;
    std::uint32_t clockRate = 90000;
    std::uint8_t payloadType = 0;

    // The RTP timestamp of the last packet into the depayloader. The depayloader hands on a
    // frame while it takes that frame's last packet, on the same thread, so at delivery this
    // is the frame's own timestamp. Shared with the pad probe, which may outlive the track,
    // so that each packet costs two stores and nothing more.
    struct RtpClock {
        std::atomic<std::uint32_t> last{0};
        std::atomic<bool> seen{false};
    };
    const std::shared_ptr<RtpClock> rtpClock = std::make_shared<RtpClock>();
};

}  // namespace rtc
