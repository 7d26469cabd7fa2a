#pragma once

#include <SDL.h>

#include <cstdint>
#include <string>

#include "BenchSupport.hpp"

namespace bench {

struct Row {
    std::string stream;
    std::string mode;
    std::string path;
    Summary latency;      // arrival -> present done, ms
    double decodeMs = 0;  // medians, threaded rows only
    double presentMs = 0;
    double cpuMsPerFrame = 0;
    std::uint64_t dropped = 0;  // encoded frames
    std::uint64_t skipped = 0;  // pictures overtaken before shown
    std::uint64_t presented = 0;
    std::size_t frames = 0;
    double peakRss = 0;
    double fps = 0;
    std::uint64_t keyframeRequests = 0;
};

// Decoding and presenting one after the other on the main thread, through the encoded queue:
// what the client did before it had a decode thread. Paced: a producer thread delivers frames
// at 60/s while the main thread drains, sleeping 1 ms when idle; a drop that needs a key frame
// asks the producer for one. Flat out: each frame is pushed as soon as the previous one was
// presented.
Row runSerial(const Stream& stream, SDL_Renderer* renderer, int threads, bool paced);

// The client's path: the engine's thread (here a producer paced at 60/s) pushes into the
// video pipeline, its decode thread decodes every frame, and the main thread sleeps on SDL
// events and presents the newest picture when woken. The decoder and presenter have the
// client's options. The stream is looped `passes` times to hold the rate for longer.
Row runThreaded(const Stream& stream, SDL_Renderer* renderer, int passes = 1);

}  // namespace bench
