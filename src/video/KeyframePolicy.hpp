#pragma once

#include <chrono>
#include <optional>

// Decides when to ask the sender for a key frame (a PLI). Only when the picture is really
// broken: a frame arrived damaged (retransmission did not bring its packets in time), the
// decoder failed, the queue had to drop frames, or a frame interval after frames began
// arriving there is still no picture, or no key frame (a key frame that lost a packet yields
// nothing, the frames after it only smears, and a sender that is not asked sends no other). A
// picture that is overtaken before it is shown is never a reason. One request is in flight at a
// time: none again until a key frame arrives or 2 x RTT + 100 ms have passed. A pure state machine:
// the caller brings the time.
class KeyframePolicy {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::microseconds frameInterval{16'667};  // 60 frames/s
    static constexpr std::chrono::milliseconds requestSlack{100};
    // The round trip assumed while the engine has no estimate yet.
    static constexpr double defaultRoundTripMs = 100.0;

    // Every frame, before it is decoded. A key frame ends the request in flight and repairs
    // what was broken before it.
    void frameArrived(Clock::time_point at, bool key);
    // The frame was damaged, failed to decode, or frames were dropped before it.
    void pictureBroken() { broken = true; }
    void pictureDecoded() { decodedAny = true; }

    // True when a request is due now; it then counts as in flight. roundTripMs <= 0: unknown.
    bool poll(Clock::time_point now, double roundTripMs);
    // When poll may next say yes without any other event; none while nothing is wanted.
    std::optional<Clock::time_point> nextCheck() const;

  private:
    bool wanted(Clock::time_point now) const;

    std::optional<Clock::time_point> firstFrame;
    std::optional<Clock::time_point> inFlightUntil;
    bool broken = false;
    bool decodedAny = false;
    bool keyFrameSeen = false;
};
