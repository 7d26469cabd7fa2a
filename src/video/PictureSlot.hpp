#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "video/VideoDecoder.hpp"

// A decoded picture on its way to the window, with what the statistics need of it.
struct ReadyPicture {
    DecodedPicture picture;
    std::chrono::steady_clock::time_point arrival;  // of its encoded frame
    double decodeMs = 0;                            // its frame's time in the decoder
    // Its frame, or one since the last key frame, was damaged, dropped or undecodable.
    bool broken = false;
};

// The newest decoded picture, between the decode thread and the main thread. A picture that a
// newer one overtakes before the main thread takes it is skipped: released (a hardware surface
// goes back to the decoder's pool) and counted, and nothing else; it says nothing about the
// stream's health.
class PictureSlot {
  public:
    // Decode thread. True when the slot was empty, so the main thread needs waking; otherwise
    // a wake-up is already on its way.
    bool put(ReadyPicture picture);
    // Main thread: the newest picture, if one came since the last take.
    std::optional<ReadyPicture> take();

    std::uint64_t skipped() const { return skippedCount.load(); }

  private:
    std::mutex mutex;
    std::optional<ReadyPicture> newest;
    std::atomic<std::uint64_t> skippedCount{0};
};
