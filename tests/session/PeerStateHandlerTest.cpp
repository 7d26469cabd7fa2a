#include <gtest/gtest.h>

#include <sstream>

#include "session/PeerStateHandler.hpp"
#include "session/SignalingTestSupport.hpp"
#include "support/FakeRtc.hpp"

using State = rtc::PeerConnection::State;

// Every state is printed and logged by its number; only a lost connection stops the client.
TEST(PeerStateHandler, everyStateIsReportedAndALostConnectionStopsTheClient) {
    for (auto last : {State::Connected, State::Disconnected, State::Failed, State::Closed}) {
        const auto number = std::to_string(static_cast<int>(last));
        SCOPED_TRACE(number);
        auto peer = std::make_shared<fake::FakePeer>();
        rtc::PeerConnection connection(peer);
        std::atomic<bool> stopRequested{false};
        signaling_test::TempLog log;
        std::ostringstream console;
        connection.onStateChange(PeerStateHandler(stopRequested, log.log, console));
        for (auto state : {State::New, State::Connecting, last}) {
            peer->emitState(state);
        }
        EXPECT_EQ(console.str(), "Peer state: 0\nPeer state: 1\nPeer state: " + number + "\n");
        EXPECT_EQ(log.lines(), (std::vector<std::string>{"peer_state=0", "peer_state=1",
                                                         "peer_state=" + number}));
        EXPECT_EQ(stopRequested.load(), last != State::Connected);
    }
}
