#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "base/EncodedFrame.hpp"
#include "base/StreamStats.hpp"
#include "video/KeyFrames.hpp"

// The encoded frames between the engine's callback and the decode thread. Every frame is kept
// while the decoder keeps up: a frame thrown away would leave every later picture without its
// reference until the next key frame. It absorbs bursts (a key frame, a network hiccup): only
// when a frame has waited more than `maxBacklog` is the decoder behind, and then the queue
// drops up to the next key frame (waiting for one if none is queued) and says so, so that one
// can be asked for.
class EncodedQueue {
  public:
    using Clock = EncodedFrame::Clock;
    static constexpr std::chrono::milliseconds maxBacklog{250};
    // Beyond the time bound, a guard against a flood of tiny frames.
    static constexpr std::size_t maxFrames = 256;

    struct Queued {
        EncodedFrame frame;
        FrameKind kind = FrameKind::Delta;
        bool key() const { return kind == FrameKind::Key; }
    };
    // What the decode thread gets from pop: the oldest frame if one waits, and whether frames
    // were dropped with no key frame left to resume at, so the picture stays broken until the
    // sender sends one.
    struct Taken {
        std::optional<Queued> frame;
        bool keyframeNeeded = false;
        bool stopped = false;
    };

    EncodedQueue(StreamStats& stats, bool hevc) : stats(stats), hevc(hevc) {}

    // Engine thread: counts the frame and queues it, or drops as described above.
    void push(EncodedFrame frame);
    // Decode thread: waits until a frame waits, a drop needs a key frame, `deadline` passes,
    // or stop() was called; never longer.
    Taken pop(Clock::time_point deadline);
    // Wakes pop for good; frames still waiting are dropped with the queue.
    void stop();
    std::size_t size() const;

  private:
    bool behind(const EncodedFrame& newest) const;
    void dropUpToKeyFrame(const EncodedFrame& newest);

    StreamStats& stats;
    const bool hevc;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<Queued> frames;
    bool awaitingKeyFrame = false;  // dropped everything: only a key frame may follow
    bool keyframeNeeded = false;    // not yet told to the decode thread
    bool stopped = false;
};
