#pragma once

// One RTP stream arriving at the connection (one sender SSRC) and the jitter buffer that
// orders it: what its sequence numbers tell about loss, and how long the jitter buffer waits
// for a missing packet. A packet in order never waits; one after a gap waits until the gap is
// filled or given up.

#include <gst/gst.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "rtc/Glib.hpp"
#include "rtc/LossTracker.hpp"
#include "rtc/rtc.hpp"

namespace rtc {

class ReceivedStream {
  public:
    explicit ReceivedStream(GstElement* jitterBuffer);

    // The payload type of its first packet, once one arrived.
    std::optional<std::uint8_t> payloadType() const;

    // A packet reached the jitter buffer (its input thread).
    void entered(std::uint16_t sequence, std::uint32_t timestamp, std::uint8_t payloadType,
                 bool retransmitted);
    // When the last packet of the frame with this RTP timestamp entered, retransmissions not
    // counted: the frame's arrival, had nothing been lost. Kept for the latest 64 frames.
    std::optional<std::chrono::steady_clock::time_point> arrivalOf(std::uint32_t timestamp) const;
    // The jitter buffer handed this packet on (its output thread). True when packets before
    // it were given up since the previous one.
    bool left(std::uint16_t sequence);

    // The sender retransmits on request: from now on a gap is asked for at once and again after
    // each round trip, and the packets after it wait until it is filled or given up.
    void repairByRetransmission();
    ReceiveStats stats() const;

  private:
    void repairedInTime();
    void repairedTooLate();
    void followRoundTrip();
    void askAgainAfter(double roundTripMs);
    void setWait(unsigned milliseconds);
    void noteArrival(std::uint32_t timestamp, std::chrono::steady_clock::time_point at,
                     bool retransmitted);

    const glib::Ref<GstElement> jitterBuffer;
    std::atomic<int> firstPayloadType{-1};
    std::atomic<bool> repairing{false};
    std::atomic<double> roundTripMs{0};
    std::atomic<unsigned> waitMs{0};
    std::atomic<unsigned> floorMs{0};  // room for every attempt
    unsigned repairsInTime = 0;        // input thread only
    // Set before `repairing`, then by the input thread alone.
    unsigned askedAgainAfterMs = 0;

    mutable std::mutex mutex;
    LossTracker tracker;
    struct FrameArrival {
        std::uint32_t timestamp = 0;
        std::chrono::steady_clock::time_point at;  // default: none
    };
    // Far more frames than the jitter buffer ever holds; a frame's packets share one slot.
    std::array<FrameArrival, 64> arrivals{};
    std::size_t newestArrival = 0;
};

}  // namespace rtc
