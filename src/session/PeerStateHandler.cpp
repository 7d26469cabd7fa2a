#include "session/PeerStateHandler.hpp"

#include <string>

#include "session/SessionTexts.hpp"

void PeerStateHandler::operator()(rtc::PeerConnection::State state) {
    const int number = static_cast<int>(state);
    // One write per line, so lines from other threads do not split it.
    console << (sessionText::peerStatePrefix + std::to_string(number) + "\n") << std::flush;
    log.write(sessionText::peerStateLog + std::to_string(number));
    if (state == rtc::PeerConnection::State::Disconnected ||
        state == rtc::PeerConnection::State::Failed ||
        state == rtc::PeerConnection::State::Closed) {
        stopRequested.store(true);
    }
}
