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
#include "rtc/ReceivedStreams.hpp"

namespace rtc {

class GstTrack : public Track::Impl, public std::enable_shared_from_this<GstTrack> {
  public:
    // streams: the connection's received streams, where the track finds its own; may be null.
    GstTrack(std::string mid, std::string kind, std::shared_ptr<CallbackGate> gate,
             std::shared_ptr<ReceivedStreams> streams = nullptr);

    std::string mid() const override { return mediaId; }
    std::string kind() const override { return mediaKind; }
    void setMediaHandler(std::shared_ptr<MediaHandler> handler) override;
    void onFrame(std::function<void(binary data, FrameInfo info)> callback) override;
    bool requestKeyframe() override;
    ReceiveStats receiveStats() const override;

    // Builds the chain the handler asks for (a fakesink without one) and links the
    // webrtcbin source pad to it. Called once, after the track callback has returned.
    void attach(GstBin* pipeline, GstPad* source);
    // Ends a source pad that no track takes in a fakesink.
    static void discard(GstBin* pipeline, GstPad* source);

  private:
    static GstPadProbeReturn onRtpPacket(GstPad* pad, GstPadProbeInfo* info, gpointer data);
    void deliver(GstSample* sample);

    const std::string mediaId;
    const std::string mediaKind;
    const std::shared_ptr<CallbackGate> gate;
    const std::shared_ptr<ReceivedStreams> streams;

    mutable std::mutex mutex;
    bool attached = false;
    std::shared_ptr<MediaHandler> handler;
    std::function<void(binary, FrameInfo)> frameCallback;
    glib::Ref<GstElement> depayloader;
    std::shared_ptr<ReceivedStream> received;  // set by attach when its packets were seen

    // Set once by attach, before any sample arrives.
    bool longStartCodes = false;
    std::uint32_t clockRate = 90000;
    std::uint8_t payloadType = 0;

    // What the packets into the depayloader tell, shared with the pad probe, which may outlive
    // the track. The depayloader hands on a frame while it takes that frame's last packet (or
    // the next frame's first), on the same thread, so at delivery these describe that frame:
    // the RTP timestamp of the last packet, and whether packets were given up since the
    // previous frame.
    struct PacketWatch {
        std::atomic<std::uint32_t> last{0};
        std::atomic<bool> seen{false};
        std::atomic<bool> damaged{false};
        // The payload bytes of the frame coming in, for the frame size bound; probe only.
        std::uint32_t frameTimestamp = 0;
        std::size_t frameBytes = 0;
        std::atomic<bool> oversized{false};
        std::shared_ptr<ReceivedStream> stream;  // set before the probe is added
    };
    const std::shared_ptr<PacketWatch> packetWatch = std::make_shared<PacketWatch>();
};

}  // namespace rtc
