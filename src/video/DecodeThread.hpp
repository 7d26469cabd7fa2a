#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "video/EncodedQueue.hpp"
#include "video/KeyframePolicy.hpp"
#include "video/PictureSlot.hpp"
#include "video/SampleWindow.hpp"
#include "video/VideoDecoder.hpp"

// The decoder's own thread: takes every encoded frame in arrival order, decodes it, and puts
// each picture into the newest-picture slot, tagged broken while the stream lacks a clean key
// frame. It also asks for key frames, by KeyframePolicy. Presenting stays on the main thread.
class DecodeThread {
  public:
    struct Hooks {
        // Asks the sender for a key frame; true when the request went out.
        std::function<bool()> requestKeyframe;
        // The engine's round-trip estimate in ms; 0 while unknown.
        std::function<double()> roundTripMs;
        // A picture is waiting in the slot (called when it was empty); wakes the main thread.
        std::function<void()> pictureReady;
        // The stream's pictures are refused (see VideoDecoder::refusal): once per refused size.
        std::function<void(const std::string& why)> refused;
    };
    // While pictures are refused, key frames are asked for no more often than this: the
    // sender may come back with a size the client takes, but each answer is refused too.
    static constexpr std::chrono::seconds refusedRequestInterval{1};

    DecodeThread(EncodedQueue& queue, VideoDecoder& decoder, PictureSlot& slot);
    ~DecodeThread();  // stops
    DecodeThread(const DecodeThread&) = delete;
    DecodeThread& operator=(const DecodeThread&) = delete;

    // The hooks reach objects made after the pipeline (the tracks), so they come at the start.
    void start(Hooks threadHooks);
    // Stops the queue and joins; a frame being decoded is finished first, waiting ones dropped.
    void stop();

    std::uint64_t picturesDecoded() const { return decoded.load(); }
    std::uint64_t keyframeRequests() const { return requests.load(); }
    // Time spent in the decoder per frame, over the current statistics interval.
    SampleWindow& decodeTimes() { return decodeMs; }

  private:
    void run();
    void decodeOne(EncodedQueue::Queued& queued);
    void requestKeyframeWhenDue();
    void noteRefusal();

    EncodedQueue& queue;
    VideoDecoder& decoder;
    PictureSlot& slot;
    Hooks hooks;

    // Decode thread only.
    KeyframePolicy keyframes;
    // Pictures before the first key frame reference nothing valid.
    bool brokenSinceKeyFrame = true;
    std::optional<std::string> reportedRefusal;
    std::optional<EncodedQueue::Clock::time_point> lastRefusedRequest;

    std::atomic<std::uint64_t> decoded{0};
    std::atomic<std::uint64_t> requests{0};
    SampleWindow decodeMs;
    std::thread thread;
};
