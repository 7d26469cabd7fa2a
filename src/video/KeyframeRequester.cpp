#include "video/KeyframeRequester.hpp"

#include <utility>

KeyframeRequester::KeyframeRequester(std::function<void()> request,
                                     std::function<Clock::time_point()> now)
    : request(std::move(request)), now(std::move(now)) {}

bool KeyframeRequester::lossDetected() {
    pending = true;
    return sendIfAllowed();
}

bool KeyframeRequester::poll(std::uint64_t framesDropped) {
    if (framesDropped != dropsSeen) {
        dropsSeen = framesDropped;
        pending = true;
    }
    return pending && sendIfAllowed();
}

bool KeyframeRequester::sendIfAllowed() {
    const auto at = now();
    if (lastRequest && at - *lastRequest < minimumInterval) {
        return false;
    }
    lastRequest = at;
    pending = false;
    ++requests;
    if (request) {
        request();
    }
    return true;
}
