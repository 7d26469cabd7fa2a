#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

// The data a channel has not yet got rid of. Above a few hundred milliseconds of traffic the
// peer is not keeping up: messages that a later one makes stale (motion, microphone) are
// dropped rather than piled up, while keys and buttons still go. A channel that stays that
// far behind for stallLimit is stalled: the peer still answers, but takes nothing.
class SendBacklog {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds stallLimit{10};

    explicit SendBacklog(std::size_t thresholdBytes) : threshold(thresholdBytes) {}

    // The channel's buffered amount as seen at `now`.
    void observe(std::size_t bufferedBytes, Clock::time_point now);
    // Messages that can be dropped should be.
    bool backlogged() const { return since.has_value(); }
    // Behind for stallLimit without a break, as of the last observation.
    bool stalled() const { return since && last - *since >= stallLimit; }

  private:
    std::size_t threshold;
    std::optional<Clock::time_point> since;  // when it went above the threshold
    Clock::time_point last;
};
