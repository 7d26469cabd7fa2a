#include "video/KeyframePolicy.hpp"

void KeyframePolicy::frameArrived(Clock::time_point at, bool key) {
    if (!firstFrame) {
        firstFrame = at;
    }
    if (key) {
        inFlightUntil.reset();
        broken = false;
        keyFrameSeen = true;
    }
}

bool KeyframePolicy::wanted(Clock::time_point now) const {
    const bool started = decodedAny && keyFrameSeen;
    return broken || (!started && firstFrame && now - *firstFrame > frameInterval);
}

bool KeyframePolicy::poll(Clock::time_point now, double roundTripMs) {
    if (!wanted(now) || (inFlightUntil && now < *inFlightUntil)) {
        return false;
    }
    const double rtt = roundTripMs > 0 ? roundTripMs : defaultRoundTripMs;
    inFlightUntil = now +
                    std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double, std::milli>(2 * rtt)) +
                    requestSlack;
    return true;
}

std::optional<KeyframePolicy::Clock::time_point> KeyframePolicy::nextCheck() const {
    if (broken || (decodedAny && keyFrameSeen) || !firstFrame) {
        // Broken: only the request in flight holds it back. Otherwise nothing is wanted.
        if (broken && inFlightUntil) {
            return inFlightUntil;
        }
        return std::nullopt;
    }
    const auto firstPictureDue = *firstFrame + frameInterval + std::chrono::microseconds(1);
    return inFlightUntil && *inFlightUntil > firstPictureDue ? inFlightUntil : firstPictureDue;
}
