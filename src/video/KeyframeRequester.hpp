#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

// Decides when to ask the sender for a key frame. After a lost or undecodable frame the
// picture stays corrupted until the next key frame, which a game encoder may not send for
// many seconds. Requests are limited to one per interval so a burst of losses, or a decoder
// that keeps failing until the key frame arrives, does not flood the sender. A loss seen
// inside the interval is not forgotten: it is requested once the interval has passed.
// Main thread only.
class KeyframeRequester {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds minimumInterval{250};

    explicit KeyframeRequester(std::function<void()> request,
                               std::function<Clock::time_point()> now = Clock::now);

    // A frame could not be decoded. Returns true when a request was sent now.
    bool lossDetected();
    // Called once per main-loop iteration with the queue's running drop count: an increase
    // is a loss, and a loss held back by the interval is sent once it is allowed.
    bool poll(std::uint64_t framesDropped);

    std::uint64_t requestsSent() const { return requests; }

  private:
    bool sendIfAllowed();

    std::function<void()> request;
    std::function<Clock::time_point()> now;
    std::optional<Clock::time_point> lastRequest;
    std::uint64_t dropsSeen = 0;
    std::uint64_t requests = 0;
    bool pending = false;
};
