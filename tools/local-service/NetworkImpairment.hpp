#pragma once

// What the stand-in does to its outgoing media, to show how a viewer copes with a poor
// network. Loopback loses nothing and delays nothing; these make it.

#include <cstdint>
#include <optional>

struct NetworkImpairment {
    // This share of the video RTP packets is dropped at random, retransmissions included.
    double lossPercent = 0;
    // The same drops every run for the same seed and packet sequence; unset: a new seed each run.
    std::optional<std::uint32_t> seed;
    // Every RTP packet waits a random 0..jitterMs before it leaves, in the order it came.
    int jitterMs = 0;

    bool any() const { return lossPercent > 0 || jitterMs > 0; }
};
