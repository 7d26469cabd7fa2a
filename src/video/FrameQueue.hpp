#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "base/Bytes.hpp"
#include "base/StreamStats.hpp"

// The few encoded frames between the engine's callback and the main loop. When the main
// loop falls behind, the oldest frame is dropped: a late picture is worth less than a new one.
class FrameQueue {
  public:
    static constexpr std::size_t capacity = 3;

    explicit FrameQueue(StreamStats& stats) : stats(stats) {}

    // Counts the frame, then queues it with its 90 kHz timestamp, dropping the oldest when
    // full. Returns true when a frame was dropped.
    bool push(Bytes frame, std::uint32_t timestamp = 0);
    // The oldest frame, or an empty one when none waits; its timestamp goes to `timestamp`
    // when given. Never blocks.
    Bytes tryPop(std::uint32_t* timestamp = nullptr);
    std::size_t size() const;

  private:
    StreamStats& stats;
    mutable std::mutex mutex;
    struct Entry {
        Bytes data;
        std::uint32_t timestamp;
    };
    std::deque<Entry> frames;
};
