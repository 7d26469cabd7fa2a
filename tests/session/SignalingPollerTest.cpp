#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <sstream>
#include <thread>

#include "session/SignalingPoller.hpp"
#include "session/SignalingTestSupport.hpp"
#include "support/FakeRtc.hpp"

using nlohmann::json;
using signaling_test::FakeService;
using signaling_test::Request;
using signaling_test::waitUntil;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

const std::string offerSdp = "v=0\r\no=- 7 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";

json offerEvent(int id, const std::string& sdp = offerSdp) {
    return {{"id", id}, {"type", "local_description"}, {"sdpType", "offer"}, {"sdp", sdp}};
}

json candidateEvent(int id, const std::string& text) {
    return {{"id", id}, {"type", "local_candidate"}, {"candidate", text}, {"mid", "audio"}};
}

json reply(json events) {
    return {{"events", std::move(events)}};
}

// A poller of its own for each case of a table.
struct Fresh {
    explicit Fresh(std::atomic<bool>& stopRequested)
        : poller(stopRequested, transport, sessionId, viewerId, connection, errors) {}

    // The poller keeps references to these.
    std::string sessionId = "g1";
    std::string viewerId = "native-42";
    FakeService service;
    SignalingTransport transport = service.transport();
    std::shared_ptr<fake::FakePeer> peer = std::make_shared<fake::FakePeer>();
    std::shared_ptr<rtc::PeerConnection> connection = std::make_shared<rtc::PeerConnection>(peer);
    std::ostringstream errors;
    SignalingPoller poller;
};

class SignalingPollerTest : public testing::Test {
  protected:
    SignalingPollerTest() { peerConnection = std::make_shared<rtc::PeerConnection>(peer); }

    // Serves the given replies one per poll, then empty lists.
    void serve(std::vector<json> replies) {
        auto queue = std::make_shared<std::vector<json>>(std::move(replies));
        auto next = std::make_shared<size_t>(0);
        service.onGet = [queue, next](const Request&) {
            return *next < queue->size() ? (*queue)[(*next)++] : reply(json::array());
        };
    }

    std::string lastPath() const { return service.requests().back().path; }

    std::vector<std::string> errorLines() const {
        std::vector<std::string> lines;
        std::istringstream in(errors.str());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    std::shared_ptr<fake::FakePeer> peer = std::make_shared<fake::FakePeer>();
    std::shared_ptr<rtc::PeerConnection> peerConnection;
    std::atomic<bool> stopRequested{false};
    FakeService service;
    SignalingTransport transport = service.transport();
    std::string sessionId = "g1";
    std::string viewerId = "native-42";
    std::ostringstream errors;
    SignalingPoller poller{stopRequested, transport, sessionId, viewerId, peerConnection, errors};
};

}  // namespace

TEST_F(SignalingPollerTest, afterFollowsTheHighestIdWhateverTheOrder) {
    serve(
        {reply(
             {{{"id", 5}, {"type", "x"}}, {{"id", 3}, {"type", "y"}}, {{"id", 9}, {"type", "z"}}}),
         reply(json::array()), reply(nullptr)});
    poller.pollOnce();
    EXPECT_EQ(lastPath(), "/game-sessions/g1/webrtc/events?after=0&viewerId=native-42");
    poller.pollOnce();
    EXPECT_EQ(lastPath(), "/game-sessions/g1/webrtc/events?after=9&viewerId=native-42");
    // Empty and null lists leave it where it was.
    poller.pollOnce();
    poller.pollOnce();
    EXPECT_EQ(lastPath(), "/game-sessions/g1/webrtc/events?after=9&viewerId=native-42");
    EXPECT_EQ(poller.state().after, 9);
    EXPECT_TRUE(errors.str().empty()) << "unknown types are skipped silently";
    EXPECT_TRUE(peer->remoteDescriptions().empty());
    EXPECT_TRUE(peer->remoteCandidates().empty());
}

TEST_F(SignalingPollerTest, onlyTheFirstOfferIsApplied) {
    serve({reply({offerEvent(1), offerEvent(2, "v=0\r\nsecond\r\n")}),
           reply(json::array({offerEvent(3)}))});
    poller.pollOnce();
    poller.pollOnce();
    auto applied = peer->remoteDescriptions();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(std::string(applied[0]), offerSdp);
    EXPECT_EQ(applied[0].type(), rtc::Description::Type::Offer);
    EXPECT_EQ(poller.state().after, 3);
    EXPECT_TRUE(errors.str().empty());
}

TEST_F(SignalingPollerTest, refusedOfferLeavesTheNextOneApplicable) {
    peer->refuseDescriptions("bad sdp");
    serve({reply({offerEvent(1), candidateEvent(2, "candidate:1 1 udp 1 127.0.0.1 9 typ host")}),
           reply(json::array({offerEvent(3)}))});
    poller.pollOnce();
    EXPECT_EQ(errorLines(), std::vector<std::string>{"Signaling: bad sdp"});
    EXPECT_TRUE(peer->remoteCandidates().empty()) << "the rest of the reply is skipped";
    EXPECT_EQ(poller.state().after, 1);
    EXPECT_FALSE(poller.state().remoteDescriptionApplied);

    peer->refuseDescriptions(std::nullopt);
    poller.pollOnce();
    EXPECT_EQ(peer->remoteDescriptions().size(), 1u);
    EXPECT_TRUE(poller.state().remoteDescriptionApplied);
}

TEST_F(SignalingPollerTest, candidatesKeepTheirMidOrGoToVideoWithoutOne) {
    const std::string text = "candidate:1 1 udp 2122260223 127.0.0.1 40000 typ host";
    serve({reply({{{"id", 1}, {"type", "local_candidate"}, {"candidate", "a=" + text}},
                  candidateEvent(2, text),
                  {{"id", 3}, {"type", "local_candidate"}, {"candidate", text}, {"mid", ""}}})});
    poller.pollOnce();  // before any offer: passed on as they come
    auto applied = peer->remoteCandidates();
    ASSERT_EQ(applied.size(), 3u);
    EXPECT_EQ(applied[0].mid(), "video");
    EXPECT_EQ(applied[0].candidate(), text);
    EXPECT_EQ(applied[1].mid(), "audio");
    EXPECT_EQ(applied[2].mid(), "");
    EXPECT_TRUE(errors.str().empty());
}

TEST_F(SignalingPollerTest, eventWithoutUsableIdBlocksTheRestOfItsReply) {
    const std::string text = "candidate:1 1 udp 1 127.0.0.1 9 typ host";
    const json badIds[] = {json::object({{"type", "x"}}),  // no id
                           {{"id", "7"}, {"type", "x"}},
                           {{"id", true}, {"type", "x"}},
                           {{"id", nullptr}, {"type", "x"}},
                           {{"id", 4294967301LL}, {"type", "x"}},
                           {{"id", -1e12}, {"type", "x"}},
                           json(12),
                           json("event")};
    for (const auto& bad : badIds) {
        SCOPED_TRACE(bad.dump());
        Fresh fresh(stopRequested);
        fresh.service.onGet = [&](const Request&) {
            return reply({candidateEvent(4, text), bad, candidateEvent(8, text)});
        };
        fresh.poller.pollOnce();
        fresh.poller.pollOnce();
        // The event before it counts; the bad one does not move `after`, so the same range is
        // asked again and the one behind it is never reached.
        EXPECT_EQ(fresh.poller.state().after, 4);
        EXPECT_EQ(fresh.service.requests().back().path,
                  "/game-sessions/g1/webrtc/events?after=4&viewerId=native-42");
        EXPECT_EQ(fresh.peer->remoteCandidates().size(), 2u);
        auto output = fresh.errors.str();
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 2) << output;
        EXPECT_THAT(output, StartsWith("Signaling: "));
    }
}

TEST_F(SignalingPollerTest, badEventAfterAGoodIdIsSkippedAndNotAskedForAgain) {
    const json badEvents[] = {
        {{"id", 6}, {"type", 5}},
        {{"id", 6}},
        {{"id", 6}, {"type", "local_description"}, {"sdpType", "offer"}},
        {{"id", 6}, {"type", "local_description"}, {"sdp", offerSdp}, {"sdpType", nullptr}},
        {{"id", 6}, {"type", "local_description"}, {"sdp", offerSdp}, {"sdpType", "nonsense"}},
        {{"id", 6}, {"type", "local_candidate"}},
        {{"id", 6}, {"type", "local_candidate"}, {"candidate", "c"}, {"mid", 1}},
    };
    for (const auto& bad : badEvents) {
        SCOPED_TRACE(bad.dump());
        Fresh fresh(stopRequested);
        fresh.service.onGet = [&](const Request& request) {
            return request.path.find("after=0&") != std::string::npos ? reply({bad, offerEvent(2)})
                                                                      : reply(json::array());
        };
        fresh.poller.pollOnce();
        fresh.poller.pollOnce();
        EXPECT_EQ(fresh.poller.state().after, 6);
        EXPECT_TRUE(fresh.peer->remoteDescriptions().empty())
            << "the rest of that reply is skipped";
        auto output = fresh.errors.str();
        EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
        EXPECT_THAT(output, StartsWith("Signaling: "));
    }
}

TEST_F(SignalingPollerTest, refusedCandidateIsReportedOnceAndNotRetried) {
    peer->refuseCandidates("no such mid");
    serve({reply(json::array({candidateEvent(11, "candidate:x")}))});
    poller.pollOnce();
    poller.pollOnce();
    EXPECT_EQ(errorLines(), std::vector<std::string>{"Signaling: no such mid"});
    EXPECT_EQ(lastPath(), "/game-sessions/g1/webrtc/events?after=11&viewerId=native-42");
}

TEST_F(SignalingPollerTest, malformedRepliesWriteOneLineEachAndChangeNothing) {
    serve({json::array(), json::object(), json("text"), json(nullptr), reply("x"), reply(5),
           reply(json::object({{"id", 3}})), json::object({{"Events", json::array()}}),
           reply(json::object({{"e", {{"id", 3}, {"type", "x"}}}}))});
    for (int i = 0; i < 9; ++i) {
        poller.pollOnce();
    }
    auto lines = errorLines();
    ASSERT_EQ(lines.size(), 9u) << errors.str();
    for (const auto& line : lines) {
        EXPECT_THAT(line, StartsWith("Signaling: "));
    }
    EXPECT_THAT(lines[0], HasSubstr("cannot use at() with array"));
    EXPECT_THAT(lines[1], HasSubstr("key 'events' not found"));
    EXPECT_EQ(poller.state().after, 0);
}

TEST_F(SignalingPollerTest, failedRequestIsReportedAndAskedAgain) {
    int calls = 0;
    service.onGet = [&](const Request& request) -> json {
        if (++calls == 1) {
            throw signaling_test::httpFailure("GET", request.path, 503);
        }
        return reply(json::array({offerEvent(2)}));
    };
    poller.pollOnce();
    poller.pollOnce();
    EXPECT_EQ(errorLines(),
              std::vector<std::string>{
                  "Signaling: GET /game-sessions/g1/webrtc/events?after=0&viewerId=native-42 "
                  "HTTP 503: failed"});
    auto requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, requests[1].path);
    EXPECT_EQ(peer->remoteDescriptions().size(), 1u);

    // Once the client stops, its requests are cut short: that is no failure to report.
    stopRequested.store(true);
    service.onGet = [](const Request& request) -> json {
        throw signaling_test::httpFailure("GET", request.path, 0);
    };
    poller.pollOnce();
    EXPECT_EQ(errorLines().size(), 1u);
}

TEST_F(SignalingPollerTest, threadPausesBetweenCyclesAndEndsPromptlyAfterStopDuringARequest) {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::atomic<int> calls{0};
    std::vector<std::chrono::steady_clock::time_point> times;
    service.onGet = [&](const Request&) {
        {
            std::lock_guard lock(mutex);
            times.push_back(std::chrono::steady_clock::now());
        }
        if (calls.fetch_add(1) == 1) {
            // The second request hangs until the test lets it answer.
            std::unique_lock lock(mutex);
            released.wait(lock, [&] { return release; });
            return reply(json::array({offerEvent(4)}));
        }
        return reply(json::array());
    };
    std::atomic<bool> finished{false};
    std::thread thread([&] {
        poller.run();
        finished.store(true);
    });

    ASSERT_TRUE(waitUntil([&] { return calls.load() == 2; }));
    stopRequested.store(true);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    bool ended = waitUntil([&] { return finished.load(); }, std::chrono::seconds(3));
    thread.join();
    ASSERT_TRUE(ended);

    EXPECT_EQ(calls.load(), 2) << "no request after the stop";
    EXPECT_EQ(peer->remoteDescriptions().size(), 1u) << "the request in flight is still handled";
    ASSERT_EQ(times.size(), 2u);
    EXPECT_GE(times[1] - times[0], std::chrono::milliseconds(450)) << "cycles are paced";
}

TEST_F(SignalingPollerTest, stopBeforeStartMakesNoRequest) {
    stopRequested.store(true);
    poller.run();
    EXPECT_TRUE(service.requests().empty());
}
