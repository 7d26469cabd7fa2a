#pragma once

#include <atomic>
#include <cstdint>

// Counters shared between the media callbacks, the main loop and telemetry. Readers load
// them one at a time; there is no consistent snapshot.
struct StreamStats {
    std::atomic<std::uint64_t> framesReceived{0};
    std::atomic<std::uint64_t> bytesReceived{0};
    std::atomic<std::uint64_t> encodedFramesDropped{0};
    std::atomic<std::uint64_t> audioPacketsPlayed{0};
    std::atomic<std::uint64_t> audioErrors{0};
    std::atomic<std::uint64_t> targetBitrate{0};
};
