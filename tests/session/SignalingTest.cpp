#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "session/SignalingPoller.hpp"
#include "session/SignalingUplink.hpp"
#include "support/FakeRtc.hpp"
#include "support/TempDir.hpp"
#include "support/WaitFor.hpp"

using nlohmann::json;
using testing::StartsWith;

namespace {

const std::string offerSdp = "v=0\r\no=- 7 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";
const std::string answerSdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";
const std::string hostCandidate = "candidate:1 1 udp 2122260223 127.0.0.1 40000 typ host";

json offerEvent(int id, const std::string& sdp = offerSdp) {
    return {{"id", id}, {"type", "local_description"}, {"sdpType", "offer"}, {"sdp", sdp}};
}

json candidateEvent(int id, const std::string& text = hostCandidate) {
    return {{"id", id}, {"type", "local_candidate"}, {"candidate", text}, {"mid", "audio"}};
}

json reply(json events) {
    return {{"events", std::move(events)}};
}

std::string eventsPath(int after) {
    return "/game-sessions/g1/webrtc/events?after=" + std::to_string(after) + "&viewerId=native-42";
}

// A poller between a fake engine and a service that records each path asked for and answers
// with `onGet`, or with `serve`'s replies one per poll, then empty lists.
struct Poller {
    void serve(std::vector<json> replies) {
        onGet = [replies, next = std::size_t{0}](const std::string&) mutable {
            return next < replies.size() ? replies[next++] : reply(json::array());
        };
    }
    void poll(int times = 1) {
        for (int i = 0; i < times; ++i) {
            poller.pollOnce();
        }
    }
    int errorLines() const {
        const auto text = errors.str();
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

    std::vector<std::string> paths;
    std::function<json(const std::string&)> onGet;
    SignalingTransport transport{[this](const std::string& path) {
                                     paths.push_back(path);
                                     return onGet(path);
                                 },
                                 {}};
    std::string sessionId = "g1";
    std::string viewerId = "native-42";
    std::shared_ptr<fake::FakePeer> peer = std::make_shared<fake::FakePeer>();
    std::atomic<bool> stopRequested{false};
    std::shared_ptr<rtc::PeerConnection> connection = std::make_shared<rtc::PeerConnection>(peer);
    std::ostringstream errors;
    SignalingPoller poller{stopRequested, transport, sessionId, viewerId, connection, errors};
};

rtc::Candidate candidate(int n, const std::string& mid = "audio") {
    return rtc::Candidate("candidate:" + std::to_string(n) + " 1 udp 2122260223 127.0.0.1 " +
                              std::to_string(50000 + n) + " typ host",
                          mid);
}

// An uplink between a fake engine and a service that records each body posted and answers
// with `onPost`, or throws the failure an HTTP client would.
class SignalingUplinkTest : public testing::Test {
  protected:
    SignalingUplinkTest() {
        session.peerConnection = std::make_shared<rtc::PeerConnection>(peer);
        uplink.emplace(session, transport, sessionId, viewerId, log.log);
        uplink->attach();
    }

    void describe() { peer->emitLocalDescription(rtc::Description(answerSdp, "answer")); }

    std::vector<int> postedCandidates() const {
        std::vector<int> numbers;
        for (const json& body : posted) {
            if (body.at("type") == "add_remote_candidate") {
                numbers.push_back(std::stoi(body.at("candidate").get<std::string>().substr(10)));
            }
        }
        return numbers;
    }

    std::mutex mutex;
    std::vector<json> posted;  // read once no caller is left
    std::function<json(const json&)> onPost = [](const json&) { return json::object(); };
    SignalingTransport transport{{}, [this](const std::string& path, const json& body) {
                                     EXPECT_EQ(path, "/game-sessions/g1/webrtc/signal");
                                     std::unique_lock lock(mutex);
                                     posted.push_back(body);
                                     lock.unlock();
                                     return onPost(body);
                                 }};
    std::string sessionId = "g1";
    std::string viewerId = "native-42";
    std::shared_ptr<fake::FakePeer> peer = std::make_shared<fake::FakePeer>();
    PeerSession session;
    TempLog log;
    std::optional<SignalingUplink> uplink;
};

}  // namespace

TEST(SignalingPoller, appliesTheFirstOfferAndEveryCandidateAndFollowsTheHighestId) {
    Poller p;
    p.serve({reply({{{"id", 5}, {"type", "unknown"}},
                    {{"id", 1}, {"type", "local_candidate"}, {"candidate", "a=" + hostCandidate}},
                    candidateEvent(3),
                    {{"id", 4}, {"type", "local_candidate"}, {"candidate", "c"}, {"mid", ""}},
                    offerEvent(9),
                    offerEvent(2, "v=0\r\nsecond\r\n")}),
             reply(json::array()), reply(nullptr), reply({offerEvent(12)})});
    p.poll(4);
    ASSERT_EQ(p.paths.size(), 4u);
    EXPECT_EQ(p.paths[0], eventsPath(0));
    // Whatever the order within a reply; empty and null lists leave it where it was.
    EXPECT_EQ(p.paths[1], eventsPath(9));
    EXPECT_EQ(p.paths[3], eventsPath(9));
    EXPECT_EQ(p.poller.state().after, 12);

    auto offers = p.peer->remoteDescriptions();
    ASSERT_EQ(offers.size(), 1u) << "only the first offer counts";
    EXPECT_EQ(std::string(offers[0]), offerSdp);
    EXPECT_EQ(offers[0].type(), rtc::Description::Type::Offer);
    auto candidates = p.peer->remoteCandidates();
    ASSERT_EQ(candidates.size(), 3u);
    EXPECT_EQ(candidates[0].candidate(), hostCandidate) << "the a= prefix is the engine's";
    EXPECT_EQ(candidates[0].mid(), "video") << "a candidate without mid goes to video";
    EXPECT_EQ(candidates[1].mid(), "audio");
    EXPECT_EQ(candidates[2].mid(), "");
    EXPECT_EQ(p.errorLines(), 0) << "unknown types are skipped silently";
}

// Bad input from the service: one "Signaling: " line per reply it spoils, no crash, and
// `after` tells whether the same range is asked again.
TEST(SignalingPoller, badRepliesAndEventsEachCostOneLine) {
    struct Case {
        json firstReply;
        int after;       // after two polls
        int candidates;  // applied by then
        int lines;
    };
    const auto around = [](json bad) {
        return reply({candidateEvent(4), std::move(bad), candidateEvent(8)});
    };
    const Case cases[] = {
        // An event without a usable id blocks the rest of its reply: `after` stays before it.
        {around({{"type", "x"}}), 4, 1, 1},
        {around({{"id", 4294967301LL}, {"type", "x"}}), 4, 1, 1},
        {around(json(12)), 4, 1, 1},
        // A bad event with a good id is passed over, with the rest of its reply.
        {around({{"id", 6}, {"type", "local_description"}, {"sdpType", "offer"}}), 6, 1, 1},
        {around({{"id", 6}, {"type", "local_description"}, {"sdp", offerSdp}, {"sdpType", "x"}}), 6,
         1, 1},
        {around({{"id", 6}, {"type", "local_candidate"}, {"candidate", "c"}, {"mid", 1}}), 6, 1, 1},
        // Replies of the wrong shape: the same range is asked again.
        {json::array(), 0, 0, 2},
        {reply(5), 0, 0, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firstReply.dump());
        Poller p;
        p.onGet = [&](const std::string& path) {
            return path == eventsPath(0) ? c.firstReply : reply(json::array());
        };
        p.poll(2);
        EXPECT_EQ(p.poller.state().after, c.after);
        EXPECT_EQ(static_cast<int>(p.peer->remoteCandidates().size()), c.candidates);
        EXPECT_EQ(p.errorLines(), c.lines) << p.errors.str();
        EXPECT_THAT(p.errors.str(), StartsWith("Signaling: "));
    }
}

TEST(SignalingPoller, refusalsAreReportedOnceAndOnlyARefusedOfferIsAppliedLater) {
    Poller p;
    // A refused offer leaves the next offer applicable; a refused candidate is not retried.
    p.peer->refuseDescriptions("bad sdp");
    p.peer->refuseCandidates("no such mid");
    p.serve({reply({offerEvent(1), candidateEvent(2)}), reply({candidateEvent(3)}),
             reply({offerEvent(4)})});
    p.poll();
    EXPECT_EQ(p.errors.str(), "Signaling: bad sdp\n");
    EXPECT_FALSE(p.poller.state().remoteDescriptionApplied);
    p.peer->refuseDescriptions(std::nullopt);
    p.poll(2);
    EXPECT_EQ(p.errors.str(), "Signaling: bad sdp\nSignaling: no such mid\n");
    EXPECT_TRUE(p.poller.state().remoteDescriptionApplied);
    EXPECT_EQ(p.poller.state().after, 4);
}

TEST_F(SignalingUplinkTest, candidatesWaitForTheAnswerThenGoInArrivalOrderWithTheViewerId) {
    peer->emitLocalCandidate(candidate(1, "audio"));
    peer->emitLocalCandidate(candidate(2, "video"));
    EXPECT_TRUE(posted.empty()) << "nothing may reach the service before the answer";

    describe();
    peer->emitLocalCandidate(candidate(3, "audio"));  // after the answer: at once

    ASSERT_EQ(posted.size(), 4u) << "one POST for the answer and one per candidate";
    EXPECT_EQ(posted[0], (json{{"viewerId", viewerId},
                               {"type", "set_remote_description"},
                               {"sdpType", "answer"},
                               {"sdp", answerSdp}}));
    EXPECT_EQ(posted[1], (json{{"viewerId", viewerId},
                               {"type", "add_remote_candidate"},
                               {"candidate", std::string(candidate(1))},
                               {"mid", "audio"}}));
    EXPECT_EQ(posted[2].at("mid"), "video");
    EXPECT_EQ(postedCandidates(), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(log.lines().empty()) << "a clean exchange writes nothing";
}

TEST_F(SignalingUplinkTest, failureDuringTheFlushLosesTheRestButNotLaterCandidates) {
    for (int n = 1; n <= 4; ++n) {
        peer->emitLocalCandidate(candidate(n));
    }
    onPost = [](const json& body) -> json {
        const auto text = body.value("candidate", "");
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
    EXPECT_EQ(posted.back().at("type"), "set_remote_description");
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

    ASSERT_EQ(posted.size(), 1u + threads * perThread);
    EXPECT_EQ(posted[0].at("type"), "set_remote_description");
    const auto numbers = postedCandidates();
    EXPECT_EQ(std::set<int>(numbers.begin(), numbers.end()).size(), numbers.size())
        << "a candidate posted twice";
}

// A candidate's POST still running at shutdown: the uplink waits for its handler, which ends once
// the stop cuts the request short, before the state it uses goes.
TEST_F(SignalingUplinkTest, shutdownWaitsForAHandlerStillPosting) {
    std::atomic<bool> posting{false};
    onPost = [&](const json& body) -> json {
        if (body.at("type") == "add_remote_candidate") {
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
