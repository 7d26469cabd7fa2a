#pragma once

#include <chrono>
#include <cstdint>

#include "base/Bytes.hpp"

// One encoded video frame (an access unit in Annex B form) on its way from the engine's
// callback to the decoder, with what the decoder side needs to know about it.
struct EncodedFrame {
    using Clock = std::chrono::steady_clock;

    Bytes data;
    std::uint32_t timestamp = 0;  // RTP, 90 kHz
    // A packet of the frame never arrived: its picture, and every later one until a key
    // frame, is damaged.
    bool damaged = false;
    Clock::time_point arrival;  // when the engine handed it over
    // When its packets reached the receiver, so that a wait for a retransmission counts in the
    // time to present; unset when not known.
    Clock::time_point fromNetwork{};

    Clock::time_point received() const {
        return fromNetwork != Clock::time_point{} ? fromNetwork : arrival;
    }
};
