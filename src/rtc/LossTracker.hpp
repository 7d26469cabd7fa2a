#pragma once

// Follows the sequence numbers of one RTP stream at two places: where packets enter the
// jitter buffer (first arrivals and retransmissions) and where the jitter buffer hands them on,
// in order. A number missing on entry is lost if it never comes or comes back only by
// retransmission, and late if the original turns up after a later one. A number skipped on
// the way out was given up for good: the frame it belonged to is damaged. Not thread-safe.

#include <cstdint>
#include <optional>
#include <set>

namespace rtc {

class LossTracker {
  public:
    enum class Arrival {
        Expected,       // next in line, or after a gap
        Late,           // its original, after a later one
        Repaired,       // retransmitted while it was still missing
        RepairTooLate,  // retransmitted after it was given up
        Duplicate,      // seen before, or too old to matter
    };

    // A packet reached the jitter buffer; retransmitted: it came back by retransmission.
    Arrival entered(std::uint16_t sequence, bool retransmitted);
    // The jitter buffer handed this packet on. Returns true when packets before it were given
    // up since the previous one handed on.
    bool left(std::uint16_t sequence);

    std::uint64_t lost() const { return lostCount; }
    std::uint64_t outOfOrder() const { return lateCount; }
    std::uint64_t retransmitted() const { return repairedCount; }

  private:
    std::int64_t unwrap(std::uint16_t sequence) const;
    void resolveLostBefore(std::int64_t extended);

    std::optional<std::int64_t> highest;  // highest number entered, unwrapped
    std::optional<std::int64_t> lastLeft;
    std::set<std::int64_t> missing;  // skipped on entry, not yet resolved
    std::set<std::int64_t> givenUp;  // the latest ones skipped on the way out
    std::uint64_t lostCount = 0;
    std::uint64_t lateCount = 0;
    std::uint64_t repairedCount = 0;
};

}  // namespace rtc
