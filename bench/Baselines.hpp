#pragma once

#include <SDL.h>

#include <utility>

#include "BenchSupport.hpp"

namespace bench {

// The terms the whole path is compared with, each measured alone on the same renderer.
struct Baseline {
    Summary rawDecode1;      // libavcodec, one thread
    Summary rawDecodeSlice;  // libavcodec, slice threads
    Summary bare;            // update texture + clear + copy + present
};
Baseline measureBaseline(const Stream& stream, SDL_Renderer* renderer, int sliceThreads);

// The present step given NV12 pictures, as a hardware decoder hands them back: uploaded to an
// NV12 texture as they are (first), or converted to planar 4:2:0 first (second).
std::pair<Summary, Summary> measureNv12(const Stream& stream, SDL_Renderer* renderer,
                                        int sliceThreads);

}  // namespace bench
