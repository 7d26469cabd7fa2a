#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "rtc/rtc.hpp"

// Why a session ended, told to the player in one console line.
enum class SessionEndReason {
    WindowClosed,
    ServerClosed,
    ConnectionLost,
    InputStalled,
    EngineFailed,
    Signal
};

// The cause of the end, from whichever thread sees it first. The first one recorded wins: what
// follows it (the quit event a signal pushes, the connection closing at shutdown) is its
// consequence, not a cause of its own.
class SessionEnd {
  public:
    void record(SessionEndReason reason) {
        int expected = none;
        cause.compare_exchange_strong(expected, static_cast<int>(reason));
    }
    std::optional<SessionEndReason> reason() const {
        const int value = cause.load();
        if (value == none) {
            return std::nullopt;
        }
        return static_cast<SessionEndReason>(value);
    }

  private:
    static constexpr int none = -1;
    std::atomic<int> cause{none};
};

// The cause for which a connection state ends the session; nothing for the states it lives on.
std::optional<SessionEndReason> endReasonFor(rtc::PeerConnection::State state);

// "Session ended: " and the reason in plain words, without a line break.
std::string sessionEndedLine(SessionEndReason reason);
