#include "rtc/LossTracker.hpp"

namespace rtc {

namespace {

// A jump this far ahead is a restarted sender, not a loss (RFC 3550's MAX_DROPOUT).
constexpr std::int64_t maxDropout = 3000;
// Numbers missing for this long are counted lost even if nothing resolved them.
constexpr std::int64_t maxPending = 4096;
// How many given-up numbers are remembered, to recognise their retransmissions.
constexpr std::size_t maxGivenUp = 256;

}  // namespace

std::int64_t LossTracker::unwrap(std::uint16_t sequence) const {
    if (!highest) {
        return sequence;
    }
    const auto delta = static_cast<std::int16_t>(sequence - static_cast<std::uint16_t>(*highest));
    return *highest + delta;
}

void LossTracker::resolveLostBefore(std::int64_t extended) {
    while (!missing.empty() && *missing.begin() < extended) {
        givenUp.insert(*missing.begin());
        missing.erase(missing.begin());
        ++lostCount;
    }
    while (givenUp.size() > maxGivenUp) {
        givenUp.erase(givenUp.begin());
    }
}

LossTracker::Arrival LossTracker::entered(std::uint16_t sequence, bool retransmitted) {
    const std::int64_t extended = unwrap(sequence);
    if (highest && extended > *highest + maxDropout) {
        // The stream started over; what was missing before is of no interest now.
        missing.clear();
        givenUp.clear();
        highest = extended;
        lastLeft.reset();
        return Arrival::Expected;
    }
    if (!highest || extended > *highest) {
        if (highest) {
            for (std::int64_t gap = *highest + 1; gap < extended; ++gap) {
                missing.insert(gap);
            }
        }
        highest = extended;
        resolveLostBefore(*highest - maxPending);
        if (retransmitted) {
            // Its original never came and no later packet did either.
            ++lostCount;
            ++repairedCount;
            return Arrival::Repaired;
        }
        return Arrival::Expected;
    }
    auto found = missing.find(extended);
    if (found == missing.end()) {
        if (retransmitted && givenUp.erase(extended) != 0) {
            return Arrival::RepairTooLate;
        }
        return Arrival::Duplicate;
    }
    missing.erase(found);
    if (retransmitted) {
        ++lostCount;
        ++repairedCount;
        return Arrival::Repaired;
    }
    ++lateCount;
    return Arrival::Late;
}

bool LossTracker::left(std::uint16_t sequence) {
    const std::int64_t extended = unwrap(sequence);
    // Handed on in order, so whatever is still missing before it will never come.
    resolveLostBefore(extended);
    const bool skipped = lastLeft && extended > *lastLeft + 1;
    if (!lastLeft || extended > *lastLeft) {
        lastLeft = extended;
    }
    return skipped;
}

}  // namespace rtc
