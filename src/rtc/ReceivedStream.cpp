#include "rtc/ReceivedStream.hpp"

#include <algorithm>
#include <cmath>

namespace rtc {

namespace {

// The round trip assumed until a retransmission has measured one.
constexpr double assumedRoundTripMs = 10;
// What a repair may take beyond the measured round trip: the request waits for its turn in
// RTCP, and the round trip varies.
constexpr unsigned marginMs = 5;
// A retransmission is lost as often as the packet it repairs, so a gap is asked for again after
// each round trip: four requests fail together only once in 160,000 gaps at 5 % loss. With
// three, runs at 5 % loss asked for about twice as many key frames.
constexpr unsigned attempts = 4;
// The jitter buffer counts the wait from when a packet was due, not from when its gap was seen,
// and a frame may leave a busy sender this much after it was due.
constexpr unsigned senderLagMs = 30;
// Beyond this a frozen picture costs more than asking for a key frame.
constexpr unsigned maxWaitMs = 100;
// After this many repairs in time in a row, the wait shrinks by a millisecond.
constexpr unsigned repairsBeforeShrinking = 10;

unsigned askAgainAfterMs(double roundTripMs) {
    return static_cast<unsigned>(std::ceil(roundTripMs)) + marginMs;
}

// Only a packet given up waits this long in full; one repaired in time waits a round trip.
unsigned waitForAttemptsMs(double roundTripMs) {
    return std::min(senderLagMs + attempts * askAgainAfterMs(roundTripMs), maxWaitMs);
}

}  // namespace

ReceivedStream::ReceivedStream(GstElement* jitterBuffer)
    : jitterBuffer(glib::Ref<GstElement>::share(jitterBuffer)) {}

std::optional<std::uint8_t> ReceivedStream::payloadType() const {
    const int type = firstPayloadType.load();
    if (type < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(type);
}

void ReceivedStream::entered(std::uint16_t sequence, std::uint32_t timestamp,
                             std::uint8_t payloadType, bool retransmitted) {
    int unknown = -1;
    firstPayloadType.compare_exchange_strong(unknown, payloadType);
    const auto now = std::chrono::steady_clock::now();
    LossTracker::Arrival arrival;
    {
        std::lock_guard lock(mutex);
        arrival = tracker.entered(sequence, retransmitted);
        noteArrival(timestamp, now, retransmitted);
    }
    if (repairing.load()) {
        if (arrival == LossTracker::Arrival::Repaired) {
            repairedInTime();
        } else if (arrival == LossTracker::Arrival::RepairTooLate) {
            repairedTooLate();
        }
    }
}

// The jitter buffer counts the wait from when a packet was due, not from when its gap was
// seen. A frame that leaves the sender late (a busy encoder) uses up part of the wait before
// its gap is even noticed, so the wait follows the outcome: it grows when a retransmission
// comes after its packet was given up, and shrinks slowly back towards room for every attempt
// while repairs come in time. The input thread alone runs these.
void ReceivedStream::repairedInTime() {
    followRoundTrip();
    if (++repairsInTime < repairsBeforeShrinking) {
        return;
    }
    repairsInTime = 0;
    const unsigned wait = waitMs.load();
    if (wait > floorMs.load()) {
        setWait(wait - 1);
    }
}

void ReceivedStream::repairedTooLate() {
    followRoundTrip();
    repairsInTime = 0;
    const unsigned wait = waitMs.load();
    setWait(std::min(maxWaitMs, wait + std::max(2U, wait / 8)));
}

// The newest frame's packets move its arrival on. A late packet of an older frame, or a
// retransmission, leaves the time its frame was whole but for the loss; a frame whose every
// packet was lost arrives with its first retransmission.
void ReceivedStream::noteArrival(std::uint32_t timestamp, std::chrono::steady_clock::time_point at,
                                 bool retransmitted) {
    const auto known = [timestamp](const FrameArrival& frame) {
        return frame.timestamp == timestamp && frame.at != FrameArrival{}.at;
    };
    if (known(arrivals[newestArrival])) {
        if (!retransmitted) {
            arrivals[newestArrival].at = at;
        }
        return;
    }
    if (std::any_of(arrivals.begin(), arrivals.end(), known)) {
        return;
    }
    newestArrival = (newestArrival + 1) % arrivals.size();
    arrivals[newestArrival] = FrameArrival{timestamp, at};
}

std::optional<std::chrono::steady_clock::time_point> ReceivedStream::arrivalOf(
    std::uint32_t timestamp) const {
    std::lock_guard lock(mutex);
    for (const FrameArrival& known : arrivals) {
        if (known.timestamp == timestamp && known.at != FrameArrival{}.at) {
            return known.at;
        }
    }
    return std::nullopt;
}

bool ReceivedStream::left(std::uint16_t sequence) {
    std::lock_guard lock(mutex);
    return tracker.left(sequence);
}

void ReceivedStream::repairByRetransmission() {
    // Only a real gap arms a timer: a next packet that is merely late (the sender's encoder
    // stalled) must not be asked for, nor given up. A gap is asked for at once.
    g_object_set(jitterBuffer.get(), "do-retransmission", TRUE, "rtx-next-seqnum", FALSE,
                 "rtx-delay", 0, "rtx-deadline", static_cast<gint>(maxWaitMs), nullptr);
    askAgainAfter(assumedRoundTripMs);
    setWait(waitForAttemptsMs(assumedRoundTripMs));
    repairing.store(true);
}

void ReceivedStream::followRoundTrip() {
    GstStructure* raw = nullptr;
    g_object_get(jitterBuffer.get(), "stats", &raw, nullptr);
    glib::StructurePtr stats(raw);
    guint64 rtt = 0;
    if (!stats || !gst_structure_get_uint64(stats.get(), "rtx-rtt", &rtt) || rtt == 0) {
        return;
    }
    const double ms = static_cast<double>(rtt) / GST_MSECOND;
    const bool first = roundTripMs.exchange(ms) == 0;
    askAgainAfter(ms);
    const unsigned floor = waitForAttemptsMs(ms);
    floorMs.store(floor);
    // The first measurement replaces the guess; later ones only raise the floor.
    if (first || waitMs.load() < floor) {
        setWait(floor);
    }
}

void ReceivedStream::askAgainAfter(double roundTripMs) {
    // Left to itself the jitter buffer asks again only after a whole frame interval, by which
    // time the wait is over.
    const unsigned after = askAgainAfterMs(roundTripMs);
    if (after == askedAgainAfterMs) {
        return;  // every repair brings a measurement, mostly the same whole milliseconds
    }
    askedAgainAfterMs = after;
    g_object_set(jitterBuffer.get(), "rtx-retry-timeout", static_cast<gint>(after),
                 "rtx-min-retry-timeout", static_cast<gint>(after), nullptr);
}

void ReceivedStream::setWait(unsigned milliseconds) {
    waitMs.store(milliseconds);
    g_object_set(jitterBuffer.get(), "latency", milliseconds, nullptr);
}

ReceiveStats ReceivedStream::stats() const {
    ReceiveStats stats;
    {
        std::lock_guard lock(mutex);
        stats.packetsLost = tracker.lost();
        stats.packetsOutOfOrder = tracker.outOfOrder();
        stats.packetsRetransmitted = tracker.retransmitted();
    }
    stats.roundTripMs = roundTripMs.load();
    stats.retransmission = repairing.load();
    return stats;
}

}  // namespace rtc
