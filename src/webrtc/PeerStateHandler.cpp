#include "webrtc/PeerStateHandler.hpp"

#include <string>

void PeerStateHandler::operator()(rtc::PeerConnection::State state) {
    const int number = static_cast<int>(state);
    // One write per line, so lines from other threads do not split it.
    console << ("Peer state: " + std::to_string(number) + "\n") << std::flush;
    log.write("peer_state=" + std::to_string(number));
    if (state == rtc::PeerConnection::State::Disconnected ||
        state == rtc::PeerConnection::State::Failed ||
        state == rtc::PeerConnection::State::Closed) {
        stopRequested.store(true);
    }
}
