#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <thread>

#include "session/SignalingTestSupport.hpp"
#include "session/SignalingUplink.hpp"
#include "support/FakeRtc.hpp"
#include "support/WaitFor.hpp"

using nlohmann::json;
using signaling_test::FakeService;
using signaling_test::Request;
using signaling_test::TempLog;

namespace {

const std::string answerSdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";

rtc::Candidate candidate(int n, const std::string& mid = "audio") {
    return rtc::Candidate("candidate:" + std::to_string(n) + " 1 udp 2122260223 127.0.0.1 " +
                              std::to_string(50000 + n) + " typ host",
                          mid);
}

class SignalingUplinkTest : public testing::Test {
  protected:
    SignalingUplinkTest() {
        session.peerConnection = std::make_shared<rtc::PeerConnection>(peer);
        uplink.emplace(session, transport, sessionId, viewerId, log.log);
        uplink->attach();
    }

    void describe() { peer->emitLocalDescription(rtc::Description(answerSdp, "answer")); }

    // The numbers of the posted candidates, in posting order.
    std::vector<int> postedCandidates() const {
        std::vector<int> numbers;
        for (const auto& body : service.postedBodies()) {
            if (body.at("type") == "add_remote_candidate") {
                numbers.push_back(std::stoi(body.at("candidate").get<std::string>().substr(10)));
            }
        }
        return numbers;
    }

    std::shared_ptr<fake::FakePeer> peer = std::make_shared<fake::FakePeer>();
    PeerSession session;
    FakeService service;
    SignalingTransport transport = service.transport();
    std::string sessionId = "s-17";
    std::string viewerId = "native-123456789";
    TempLog log;
    std::optional<SignalingUplink> uplink;
};

}  // namespace

TEST_F(SignalingUplinkTest, candidatesWaitForTheAnswerThenGoInArrivalOrderWithTheViewerId) {
    peer->emitLocalCandidate(candidate(1, "audio"));
    peer->emitLocalCandidate(candidate(2, "video"));
    EXPECT_TRUE(service.requests().empty()) << "nothing may reach the service before the answer";
    EXPECT_EQ(session.pendingCandidates.size(), 2u);

    describe();
    peer->emitLocalCandidate(candidate(3, "audio"));  // after the answer: at once

    auto requests = service.requests();
    ASSERT_EQ(requests.size(), 4u) << "one POST for the answer and one per candidate";
    for (const auto& request : requests) {
        EXPECT_EQ(request.path, "/game-sessions/s-17/webrtc/signal");
    }
    EXPECT_EQ(requests[0].body, (json{{"viewerId", viewerId},
                                      {"type", "set_remote_description"},
                                      {"sdpType", "answer"},
                                      {"sdp", answerSdp}}));
    EXPECT_EQ(requests[1].body, (json{{"viewerId", viewerId},
                                      {"type", "add_remote_candidate"},
                                      {"candidate", std::string(candidate(1))},
                                      {"mid", "audio"}}));
    EXPECT_EQ(requests[2].body.at("mid"), "video");
    EXPECT_EQ(postedCandidates(), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(session.pendingCandidates.empty());
    EXPECT_TRUE(log.lines().empty()) << "a clean exchange writes nothing";
}

TEST_F(SignalingUplinkTest, failureDuringTheFlushLosesTheRestButNotLaterCandidates) {
    for (int n = 1; n <= 4; ++n) {
        peer->emitLocalCandidate(candidate(n));
    }
    service.onPost = [](const Request& request) -> json {
        const auto text = request.body.value("candidate", "");
        if (text.starts_with("candidate:2 ") || text.starts_with("candidate:5 ")) {
            throw std::runtime_error(text[10] == '2' ? "timed out" : "not JSON");
        }
        return json::object();
    };
    describe();
    EXPECT_EQ(postedCandidates(), (std::vector<int>{1, 2}));
    // A later candidate still goes directly, and one failing does not stop the next; a
    // repeated answer does not revive 3 and 4.
    peer->emitLocalCandidate(candidate(5));
    peer->emitLocalCandidate(candidate(6));
    describe();
    EXPECT_EQ(postedCandidates(), (std::vector<int>{1, 2, 5, 6}));
    EXPECT_EQ(service.postedBodies().back().at("type"), "set_remote_description");
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"signaling_error=timed out", "signaling_error=not JSON"}));
}

// Candidates race the answer from several engine threads; every one must reach the service
// exactly once, and none before the answer. Meant to run under ThreadSanitizer too.
TEST_F(SignalingUplinkTest, concurrentCallbacksLoseNoCandidate) {
    constexpr int threads = 4;
    constexpr int perThread = 50;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                peer->emitLocalCandidate(candidate(t * perThread + i));
            }
        });
        if (t == threads / 2) {
            workers.emplace_back([&] { describe(); });
        }
    }
    for (auto& worker : workers) {
        worker.join();
    }

    auto bodies = service.postedBodies();
    ASSERT_EQ(bodies.size(), 1u + threads * perThread);
    EXPECT_EQ(bodies[0].at("type"), "set_remote_description");
    const auto numbers = postedCandidates();
    EXPECT_EQ(std::set<int>(numbers.begin(), numbers.end()).size(), numbers.size())
        << "a candidate posted twice";
    EXPECT_TRUE(session.pendingCandidates.empty());
}

// A candidate's POST still running at shutdown: the uplink waits for its handler, which ends once
// the stop cuts the request short, before the state it uses goes.
TEST_F(SignalingUplinkTest, shutdownWaitsForAHandlerStillPosting) {
    std::atomic<bool> posting{false};
    service.onPost = [&](const Request& request) -> json {
        if (request.body.at("type") == "add_remote_candidate") {
            posting = true;
            waitFor([&] { return session.stopRequested.load(); }, std::chrono::seconds(20));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // winding down
            throw std::runtime_error("cancelled");
        }
        return json::object();
    };
    describe();
    std::thread engine([&] { peer->emitLocalCandidate(candidate(1)); });
    EXPECT_TRUE(waitFor([&] { return posting.load(); }));
    session.stopRequested = true;
    session.peerConnection->close();
    uplink.reset();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"signaling_error=cancelled"});
    engine.join();
}
