#pragma once

// A recorded stream cannot make a key frame when the viewer asks for one, so it skips ahead
// to the next one in the file instead, at once: the frames before it are dropped and every
// frame from it on is stamped earlier by the time skipped, so the pacing lets it out now and
// the timestamps the viewer sees keep moving forward.

#include <gst/gst.h>

#include <atomic>
#include <memory>

class KeyFrameSkip {
  public:
    // Watches the parsed frames entering the element that paces them (its "sink" pad).
    static std::shared_ptr<KeyFrameSkip> install(GstElement* pacer);

    // The next frame that leaves is a key frame (any thread).
    void request() { wanted.store(true); }

  private:
    static GstPadProbeReturn onFrame(GstPad* pad, GstPadProbeInfo* info, gpointer data);

    std::atomic<bool> wanted{false};
    // Streaming thread only.
    bool skipping = false;
    GstClockTime skipFrom = GST_CLOCK_TIME_NONE;
    GstClockTime shift = 0;
};
