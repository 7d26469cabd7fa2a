#include "app/SessionEnd.hpp"

#include "input/SendBacklog.hpp"

std::optional<SessionEndReason> endReasonFor(rtc::PeerConnection::State state) {
    using State = rtc::PeerConnection::State;
    switch (state) {
        case State::Closed:
            return SessionEndReason::ServerClosed;
        case State::Disconnected:
            // The engine reports a silent peer this way.
            return SessionEndReason::ConnectionLost;
        case State::Failed:
            return SessionEndReason::EngineFailed;
        default:
            return std::nullopt;
    }
}

std::string sessionEndedLine(SessionEndReason reason) {
    std::string words;
    switch (reason) {
        case SessionEndReason::WindowClosed:
            words = "the window was closed";
            break;
        case SessionEndReason::ServerClosed:
            words = "the server closed the stream";
            break;
        case SessionEndReason::ConnectionLost:
            words = "the connection was lost, with no packets for " +
                    std::to_string(rtc::PeerConnection::silenceLimit.count()) + " s";
            break;
        case SessionEndReason::InputStalled:
            // The peer still answers but takes nothing from the client.
            words = "the connection was lost, the server took no input for " +
                    std::to_string(SendBacklog::stallLimit.count()) + " s";
            break;
        case SessionEndReason::EngineFailed:
            words = "the engine failed";
            break;
        case SessionEndReason::Signal:
            words = "interrupted by a signal";
            break;
    }
    return "Session ended: " + words;
}
