#pragma once

// The media an offering peer streams, as one GStreamer pipeline around its webrtcbin: a test
// tone, and either an encoded scene that follows the viewer's input or a file played in a
// loop. Also the controls on that media while it runs.

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "KeyFrameSkip.hpp"
#include "OfferingPeer.hpp"
#include "SceneState.hpp"
#include "rtc/Glib.hpp"

class OfferedStream {
  public:
    // Builds the pipeline (not started yet). keyFrameForced receives the count so far each
    // time the viewer asks for a key frame, on a streaming thread. Throws std::runtime_error
    // when the pipeline cannot be built.
    OfferedStream(const OfferingPeerOptions& options,
                  std::function<void(std::uint64_t)> keyFrameForced);

    const rtc::glib::Ref<GstElement>& pipeline() const { return whole; }
    // The pipeline's webrtcbin.
    const rtc::glib::Ref<GstElement>& webrtc() const { return offer; }

    void setBitrate(std::uint64_t bitsPerSecond);
    void showScene(const SceneState& scene);
    // The transport is up: frames sent before it never arrived, so the viewer's picture starts
    // with a fresh key frame, and a file starts flowing.
    void viewerConnected();
    std::uint64_t keyFramesForced() const { return forcedKeyFrames->count.load(); }
    // No key frame is reported any more once this returns.
    void stopReporting();

  private:
    void followBackground();
    void retransmitOnRequest();
    void impair(const NetworkImpairment& impairment);
    void countKeyFrameRequests();
    void stampFileFrames();
    void holdFileUntilConnected();

    const int width;
    const int height;
    rtc::glib::Ref<GstElement> whole;
    rtc::glib::Ref<GstElement> offer;

    // Shared with a pad probe, which may outlive this object when teardown hangs.
    struct KeyFrameRequests {
        std::atomic<std::uint64_t> count{0};
        std::mutex mutex;
        std::function<void(std::uint64_t)> report;  // cleared by stopReporting
        std::shared_ptr<KeyFrameSkip> skip;         // set before the first request
    };
    const std::shared_ptr<KeyFrameRequests> forcedKeyFrames = std::make_shared<KeyFrameRequests>();
    // Until the viewer connects a paced file is dropped after its pacing instead of blocking in
    // the unconnected transport: blocked, it would send the whole wait's frames at once on
    // connecting, a burst no live sender makes.
    const std::shared_ptr<std::atomic<bool>> fileFlowing = std::make_shared<std::atomic<bool>>();
    // The background pattern a press asked for, applied by the source's own streaming thread:
    // videotestsrc frees its cached picture when the pattern changes, which from any other
    // thread races with the copy it makes of that picture for every frame.
    struct BackgroundPattern {
        explicit BackgroundPattern(int first) : wanted(first), shown(first) {}
        std::atomic<int> wanted;
        int shown;  // streaming thread only
    };
    const std::shared_ptr<BackgroundPattern> backgroundPattern;
};
