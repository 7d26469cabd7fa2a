#pragma once

#include <cstddef>
#include <span>

// True when the access unit (Annex B) is a key frame, one the decoder can start from without
// any earlier frame: its first slice is an H.264 IDR slice (NAL type 5), or an HEVC IRAP
// slice (types 16 to 23: BLA, IDR, CRA). Parameter sets and SEI before the slice are passed
// over; only the first slice decides, so a large frame costs a few bytes of scanning.
bool isKeyFrame(std::span<const std::byte> accessUnit, bool hevc);
