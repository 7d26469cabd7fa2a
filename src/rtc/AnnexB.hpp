#pragma once

// Annex B byte streams as the depayloaders hand them on.

#include <cstddef>
#include <cstdint>

#include "rtc/rtc.hpp"

namespace rtc {

// Copies an access unit, turning every 3-byte start code into a 4-byte one.
binary withLongStartCodes(const std::uint8_t* data, std::size_t size);

}  // namespace rtc
