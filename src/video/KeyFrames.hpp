#pragma once

#include <cstddef>
#include <span>

// What an access unit (Annex B) holds, told by its first slice: a key frame, one the decoder
// can start from without any earlier frame (an H.264 IDR slice, NAL type 5, or an HEVC IRAP
// slice, types 16 to 23: BLA, IDR, CRA); a frame that needs earlier ones; or no slice at all
// (parameter sets or SEI sent on their own, which yield no picture and damage none).
// Parameter sets and SEI before the first slice are passed over; only the first slice decides,
// so a large frame costs a few bytes of scanning.
enum class FrameKind { Key, Delta, NoSlice };

FrameKind frameKind(std::span<const std::byte> accessUnit, bool hevc);

inline bool isKeyFrame(std::span<const std::byte> accessUnit, bool hevc) {
    return frameKind(accessUnit, hevc) == FrameKind::Key;
}
