#pragma once

#include <cstddef>
#include <deque>
#include <mutex>

#include "app/StreamStats.hpp"
#include "webrtc/rtc.hpp"

// The few encoded frames between the engine's callback and the main loop. When the main
// loop falls behind, the oldest frame is dropped: a late picture is worth less than a new one.
class FrameQueue {
  public:
    static constexpr std::size_t capacity = 3;

    explicit FrameQueue(StreamStats& stats) : stats(stats) {}

    // Counts the frame, then queues it, dropping the oldest when full. Returns true when a
    // frame was dropped.
    bool push(rtc::binary frame);
    // The oldest frame, or an empty one when none waits. Never blocks.
    rtc::binary tryPop();
    std::size_t size() const;

  private:
    StreamStats& stats;
    mutable std::mutex mutex;
    std::deque<rtc::binary> frames;
};
