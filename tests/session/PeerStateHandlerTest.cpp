#include <gtest/gtest.h>

#include <sstream>

#include "session/PeerStateHandler.hpp"
#include "session/SignalingTestSupport.hpp"
#include "support/FakeRtc.hpp"

using State = rtc::PeerConnection::State;

namespace {

struct Run {
    std::string console;
    std::vector<std::string> log;
    bool stopRequested;
};

Run runStates(std::initializer_list<State> states) {
    auto peer = std::make_shared<fake::FakePeer>();
    rtc::PeerConnection connection(peer);
    std::atomic<bool> stopRequested{false};
    signaling_test::TempLog log;
    std::ostringstream console;
    connection.onStateChange(PeerStateHandler(stopRequested, log.log, console));
    for (auto state : states) {
        peer->emitState(state);
    }
    return {console.str(), log.lines(), stopRequested.load()};
}

}  // namespace

TEST(PeerStateHandler, startingStatesArePrintedAndLoggedWithoutStopping) {
    auto run = runStates({State::New, State::Connecting, State::Connected});
    EXPECT_EQ(run.console, "Peer state: 0\nPeer state: 1\nPeer state: 2\n");
    EXPECT_EQ(run.log, (std::vector<std::string>{"peer_state=0", "peer_state=1", "peer_state=2"}));
    EXPECT_FALSE(run.stopRequested);
}

TEST(PeerStateHandler, lostConnectionStopsTheClient) {
    for (auto lost : {State::Disconnected, State::Failed, State::Closed}) {
        auto number = std::to_string(static_cast<int>(lost));
        auto run = runStates({State::Connecting, State::Connected, lost});
        EXPECT_TRUE(run.stopRequested) << number;
        EXPECT_EQ(run.log.back(), "peer_state=" + number);
        EXPECT_TRUE(run.console.ends_with("Peer state: " + number + "\n"));
    }
}
