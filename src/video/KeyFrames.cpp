#include "video/KeyFrames.hpp"

#include <cstdint>

namespace {

// Where the NAL unit after the next start code (00 00 01, or 00 00 00 01) begins, or the end.
std::size_t nextNalUnit(std::span<const std::byte> bytes, std::size_t from) {
    for (std::size_t i = from; i + 2 < bytes.size(); ++i) {
        if (bytes[i] == std::byte{0} && bytes[i + 1] == std::byte{0} &&
            bytes[i + 2] == std::byte{1}) {
            return i + 3;
        }
    }
    return bytes.size();
}

}  // namespace

FrameKind frameKind(std::span<const std::byte> accessUnit, bool hevc) {
    for (std::size_t at = nextNalUnit(accessUnit, 0); at < accessUnit.size();
         at = nextNalUnit(accessUnit, at)) {
        const auto header = std::to_integer<std::uint8_t>(accessUnit[at]);
        if (hevc) {
            const int type = (header >> 1) & 0x3F;
            if (type <= 31) {  // the first slice
                return type >= 16 && type <= 23 ? FrameKind::Key : FrameKind::Delta;
            }
        } else {
            const int type = header & 0x1F;
            if (type >= 1 && type <= 5) {  // the first slice
                return type == 5 ? FrameKind::Key : FrameKind::Delta;
            }
        }
    }
    return FrameKind::NoSlice;
}
