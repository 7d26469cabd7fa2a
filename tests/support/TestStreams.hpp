#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "rtc/rtc.hpp"
#include "video/VideoDecoder.hpp"

// Small encoded streams made in-process, so the decoding tests know exactly what the
// pictures hold.
namespace teststreams {

using FramePtr = std::unique_ptr<AVFrame, AvFrameFree>;

// Fills one picture of a stream; index counts from 0.
using Painter = std::function<void(AVFrame& picture, int index)>;

// Every pixel one colour, given in Y, U, V.
Painter solid(std::uint8_t y, std::uint8_t u, std::uint8_t v);
// Smooth gradients in all three planes that move with the index.
Painter gradient();

// Encodes `count` pictures of width x height as Annex B access units (H.264 with libx264 or
// HEVC with libx265), one per picture, the first a key frame with its parameter sets.
std::vector<rtc::binary> encode(bool hevc, int width, int height, int count, const Painter& paint,
                                int slices = 1);

// A planar 4:2:0 picture painted like the encoder's input.
FramePtr picture(int width, int height, const Painter& paint, int index = 0);
FramePtr convert(const AVFrame& source, int format);

}  // namespace teststreams
