#include "rtc/LossTracker.hpp"

namespace rtc {

namespace {

// A jump this far ahead is a restarted sender, not a loss (RFC 3550's MAX_DROPOUT).
constexpr std::int64_t maxDropout = 3000;
// Numbers missing for this long are counted lost even if nothing resolved them.
constexpr std::int64_t maxPending = 4096;

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
        missing.erase(missing.begin());
        ++lostCount;
    }
}

void LossTracker::entered(std::uint16_t sequence, bool retransmitted) {
    const std::int64_t extended = unwrap(sequence);
    if (highest && extended > *highest + maxDropout) {
        // The stream started over; what was missing before is of no interest now.
        missing.clear();
        highest = extended;
        lastLeft.reset();
        return;
    }
    if (!highest || extended > *highest) {
        if (highest) {
            for (std::int64_t gap = *highest + 1; gap < extended; ++gap) {
                missing.insert(gap);
            }
        }
        highest = extended;
        if (retransmitted) {
            // Its original never came and no later packet did either.
            ++lostCount;
            ++repairedCount;
        }
        resolveLostBefore(*highest - maxPending);
        return;
    }
    auto found = missing.find(extended);
    if (found == missing.end()) {
        return;  // a duplicate, or too late to matter
    }
    missing.erase(found);
    if (retransmitted) {
        ++lostCount;
        ++repairedCount;
    } else {
        ++lateCount;
    }
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
