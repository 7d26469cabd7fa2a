#pragma once

#include <cstddef>
#include <vector>

// Encoded media and binary messages: one access unit, one Opus packet, one data channel
// message. Moved from hand to hand, never copied on the way to the decoder.
using Bytes = std::vector<std::byte>;
