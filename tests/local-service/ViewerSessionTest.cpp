#include <opus.h>

#include <atomic>
#include <cmath>
#include <stdexcept>

#include "ServiceFixture.hpp"

using nlohmann::json;

namespace {

constexpr std::uint8_t microphoneTag[] = {'M', 'I', 'C', '0'};

// What the fake peers saw, shared between the test and every peer the factory makes.
struct PeerProbe {
    std::mutex mutex;
    std::vector<OfferingPeerOptions> created;
    OfferingPeerCallbacks callbacks;  // of the newest peer
    std::vector<std::string> answers;
    std::vector<std::pair<std::string, std::string>> candidates;
    std::vector<std::uint64_t> bitrates;
    std::vector<std::pair<std::string, std::string>> sent;
    int closes = 0;
    int destroyed = 0;
    bool refuseAnswer = false;
    bool failCreation = false;
    std::string offer = "v=0\r\na=group:BUNDLE audio video\r\nm=audio\r\na=mid:audio\r\n";
    std::vector<std::pair<std::string, std::optional<std::string>>> initialCandidates;

    template <typename T>
    T read(T PeerProbe::*field) {
        std::lock_guard lock(mutex);
        return this->*field;
    }
};

class FakePeer : public SessionPeer {
  public:
    explicit FakePeer(std::shared_ptr<PeerProbe> probe) : probe(std::move(probe)) {}
    ~FakePeer() override {
        std::lock_guard lock(probe->mutex);
        ++probe->destroyed;
    }
    void setRemoteAnswer(const std::string& sdp) override {
        std::lock_guard lock(probe->mutex);
        if (probe->refuseAnswer) {
            throw std::runtime_error("answer refused");
        }
        probe->answers.push_back(sdp);
    }
    bool addRemoteCandidate(const std::string& candidate, const std::string& mid) override {
        std::lock_guard lock(probe->mutex);
        probe->candidates.emplace_back(candidate, mid);
        return true;
    }
    void setBitrate(std::uint64_t bitsPerSecond) override {
        std::lock_guard lock(probe->mutex);
        probe->bitrates.push_back(bitsPerSecond);
    }
    bool sendText(const std::string& label, const std::string& text) override {
        std::lock_guard lock(probe->mutex);
        probe->sent.emplace_back(label, text);
        return true;
    }
    void close() override {
        std::lock_guard lock(probe->mutex);
        ++probe->closes;
    }

  private:
    std::shared_ptr<PeerProbe> probe;
};

class ViewerTest : public ServiceFixture {
  protected:
    void startWithFakePeers() {
        start([probe = probe](const OfferingPeerOptions& options, OfferingPeerCallbacks callbacks) {
            std::string offer;
            std::vector<std::pair<std::string, std::optional<std::string>>> candidates;
            {
                std::lock_guard lock(probe->mutex);
                if (probe->failCreation) {
                    throw std::runtime_error("no encoder");
                }
                probe->created.push_back(options);
                probe->callbacks = callbacks;
                offer = probe->offer;
                candidates = probe->initialCandidates;
            }
            // Like the real peer, the offer may come before the factory returns.
            callbacks.onLocalDescription("offer", offer);
            for (const auto& [candidate, mid] : candidates) {
                callbacks.onLocalCandidate(candidate, mid);
            }
            return std::make_unique<FakePeer>(probe);
        });
        token = login();
    }

    httplib::Result poll(const std::string& viewerId, const std::string& after = "0") {
        return get("/game-sessions/s-1/webrtc/events?after=" + after + "&viewerId=" + viewerId,
                   token);
    }

    json events(const std::string& viewerId, const std::string& after = "0") {
        auto reply = poll(viewerId, after);
        EXPECT_TRUE(reply);
        EXPECT_EQ(reply->status, 200) << reply->body;
        return json::parse(reply->body).at("events");
    }

    httplib::Result signal(const json& body) {
        return post("/game-sessions/s-1/webrtc/signal", token, body);
    }

    OfferingPeerCallbacks callbacks() { return probe->read(&PeerProbe::callbacks); }

    std::shared_ptr<PeerProbe> probe = std::make_shared<PeerProbe>();
    std::string token;
};

TEST_F(ViewerTest, viewportReportShapesTheNextViewersStream) {
    options.videoFile = "/tmp/loop.h265";
    startWithFakePeers();
    auto reported = post("/game-sessions/s-1/webrtc/viewport", token,
                         {{"width", 1918},
                          {"height", 1200},
                          {"codec", "hevc"},
                          {"autoBitrate", false},
                          {"bitrate", 35000000}});
    ASSERT_TRUE(reported);
    EXPECT_EQ(reported->status, 200);
    EXPECT_EQ(reported->body, "{}");
    events("native-1");

    // The stream made ready at the start does not fit the report, so another one is made.
    auto created = probe->read(&PeerProbe::created);
    ASSERT_EQ(created.size(), 2u);
    EXPECT_FALSE(created[0].hevc);
    EXPECT_TRUE(created[1].hevc);
    EXPECT_EQ(created[1].width, 1918);
    EXPECT_EQ(created[1].height, 1200);
    EXPECT_EQ(created[1].bitrate, 35000000u);
    EXPECT_EQ(created[1].videoFile, "/tmp/loop.h265");
    EXPECT_EQ(created[1].bindAddress, "127.0.0.1");

    for (const json& bad :
         {json({{"width", 0}, {"height", 720}, {"codec", "h264"}, {"bitrate", 1}}),
          json({{"width", 1280}, {"height", 720}, {"codec", "vp8"}, {"bitrate", 1}}),
          json({{"width", "1280"}, {"height", 720}, {"codec", "h264"}, {"bitrate", 1}}),
          json::array()}) {
        auto refused = post("/game-sessions/s-1/webrtc/viewport", token, bad);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 400) << bad.dump();
    }
}

TEST_F(ViewerTest, firstPollCarriesTheOfferAndAfterSelectsOnlyNewerEvents) {
    probe->initialCandidates = {{"candidate:1 1 UDP 1 127.0.0.1 5000 typ host", "audio"}};
    startWithFakePeers();
    json first = events("native-1");
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0]["id"], 1);
    EXPECT_EQ(first[0]["type"], "local_description");
    EXPECT_EQ(first[0]["sdpType"], "offer");
    EXPECT_EQ(first[0]["sdp"], probe->offer);
    EXPECT_EQ(first[1]["id"], 2);
    EXPECT_EQ(first[1]["type"], "local_candidate");
    EXPECT_EQ(first[1]["candidate"], "candidate:1 1 UDP 1 127.0.0.1 5000 typ host");

    // Candidates gathered later, on the peer's own threads, come with the next ids.
    std::thread gathering([cb = callbacks()] {
        cb.onLocalCandidate("candidate:2 1 UDP 1 127.0.0.1 5002 typ host", std::string("audio"));
        cb.onLocalCandidate("candidate:3 1 UDP 1 127.0.0.1 5004 typ host", std::string("audio"));
    });
    gathering.join();

    EXPECT_EQ(events("native-1", "2").size(), 2u);
    json newest = events("native-1", "3");
    ASSERT_EQ(newest.size(), 1u);
    EXPECT_EQ(newest[0]["id"], 4);
    EXPECT_TRUE(events("native-1", "4").empty());
    EXPECT_TRUE(events("native-1", "99").empty());
    EXPECT_EQ(events("native-1", "-7").size(), 4u);
    EXPECT_EQ(probe->read(&PeerProbe::created).size(), 1u) << "one peer per viewer";

    for (const std::string& path :
         {std::string("/game-sessions/s-1/webrtc/events?after=x&viewerId=native-1"),
          std::string("/game-sessions/s-1/webrtc/events?after=0"),
          std::string("/game-sessions/s-1/webrtc/events?after=1.5&viewerId=native-1")}) {
        auto refused = get(path, token);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->status, 400) << path;
    }
    auto otherSession = get("/game-sessions/s-9/webrtc/events?after=0&viewerId=native-1", token);
    ASSERT_TRUE(otherSession);
    EXPECT_EQ(otherSession->status, 404);
}

TEST_F(ViewerTest, everySecondVideoCandidateGoesWithoutItsMid) {
    startWithFakePeers();
    events("native-1");
    auto cb = callbacks();
    // Bundled with video: alternate. "video" itself: alternate in the same count.
    for (int i = 0; i < 4; ++i) {
        cb.onLocalCandidate("candidate:" + std::to_string(i) + " 1 UDP 1 127.0.0.1 1 typ host",
                            std::string(i < 2 ? "audio" : "video"));
    }
    cb.onLocalCandidate("candidate:9 1 UDP 1 127.0.0.1 1 typ host", std::nullopt);
    json list = events("native-1", "1");
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0]["mid"], "audio");
    EXPECT_FALSE(list[1].contains("mid"));
    EXPECT_EQ(list[2]["mid"], "video");
    EXPECT_FALSE(list[3].contains("mid"));
    EXPECT_FALSE(list[4].contains("mid"));
}

TEST_F(ViewerTest, unbundledAudioCandidatesKeepTheirMid) {
    probe->offer = "v=0\r\nm=audio\r\na=mid:audio\r\nm=video\r\na=mid:video\r\n";
    startWithFakePeers();
    events("native-1");
    auto cb = callbacks();
    for (int i = 0; i < 3; ++i) {
        cb.onLocalCandidate("candidate:1 1 UDP 1 127.0.0.1 1 typ host", std::string("audio"));
    }
    for (const json& event : events("native-1", "1")) {
        EXPECT_EQ(event["mid"], "audio");
    }
}

TEST_F(ViewerTest, viewerSignalsReachThePeerOnlyOnLoopback) {
    startWithFakePeers();
    events("native-1");
    std::string answer =
        "v=0\r\na=candidate:1 1 UDP 2 127.0.0.1 4000 typ host\r\n"
        "a=candidate:2 1 UDP 2 10.0.0.7 4001 typ host\r\n"
        "a=candidate:3 1 UDP 2 ::1 4002 typ host\r\na=mid:video\r\n";
    auto applied = signal({{"viewerId", "native-1"},
                           {"type", "set_remote_description"},
                           {"sdpType", "answer"},
                           {"sdp", answer}});
    ASSERT_TRUE(applied);
    EXPECT_EQ(applied->status, 200);
    EXPECT_EQ(applied->body, "{}");
    auto answers = probe->read(&PeerProbe::answers);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0],
              "v=0\r\na=candidate:1 1 UDP 2 127.0.0.1 4000 typ host\r\n"
              "a=candidate:3 1 UDP 2 ::1 4002 typ host\r\na=mid:video\r\n");

    const std::vector<std::pair<std::string, bool>> candidates = {
        {"candidate:1 1 UDP 2122260223 127.0.0.1 50000 typ host", true},
        {"candidate:2 1 UDP 2122260223 127.8.9.1 50000 typ host", true},
        {"candidate:3 1 UDP 2122260223 ::1 50000 typ host", true},
        {"candidate:4 1 UDP 2122260223 192.168.1.20 50000 typ host", false},
        {"candidate:5 1 UDP 2122260223 b7e1c2.local 50000 typ host", false},
        {"candidate:6 1 UDP 1686052607 203.0.113.9 50000 typ srflx raddr 127.0.0.1 rport 1", false},
        {"candidate:7 1 UDP", false},
    };
    for (const auto& [candidate, handed] : candidates) {
        auto reply = signal({{"viewerId", "native-1"},
                             {"type", "add_remote_candidate"},
                             {"candidate", candidate},
                             {"mid", "video"}});
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 200) << candidate;
    }
    auto handedOn = probe->read(&PeerProbe::candidates);
    std::vector<std::string> expected;
    for (const auto& [candidate, handed] : candidates) {
        if (handed) {
            expected.push_back(candidate);
        }
    }
    ASSERT_EQ(handedOn.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(handedOn[i].first, expected[i]);
        EXPECT_EQ(handedOn[i].second, "video");
    }

    auto stranger = signal({{"viewerId", "native-2"},
                            {"type", "add_remote_candidate"},
                            {"candidate", candidates[0].first},
                            {"mid", "video"}});
    ASSERT_TRUE(stranger);
    EXPECT_EQ(stranger->status, 409);
    auto unknownType = signal({{"viewerId", "native-1"}, {"type", "renegotiate"}});
    ASSERT_TRUE(unknownType);
    EXPECT_EQ(unknownType->status, 400);
    auto noMid = signal({{"viewerId", "native-1"},
                         {"type", "add_remote_candidate"},
                         {"candidate", candidates[0].first}});
    ASSERT_TRUE(noMid);
    EXPECT_EQ(noMid->status, 400);
    EXPECT_EQ(probe->read(&PeerProbe::candidates).size(), expected.size());

    {
        std::lock_guard lock(probe->mutex);
        probe->refuseAnswer = true;
    }
    auto refused = signal({{"viewerId", "native-1"},
                           {"type", "set_remote_description"},
                           {"sdpType", "answer"},
                           {"sdp", answer}});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 400);
    EXPECT_NE(refused->body.find("answer refused"), std::string::npos);
}

TEST_F(ViewerTest, aNewViewerReplacesThePeerAndTheOldOneStaysOut) {
    startWithFakePeers();
    events("native-1");
    EXPECT_EQ(events("native-2").size(), 1u);
    EXPECT_EQ(probe->read(&PeerProbe::created).size(), 2u);
    EXPECT_EQ(probe->read(&PeerProbe::destroyed), 1);

    // Polls of the replaced viewer neither revive it nor disturb the new one.
    EXPECT_TRUE(events("native-1").empty());
    EXPECT_EQ(probe->read(&PeerProbe::created).size(), 2u);
    EXPECT_EQ(probe->read(&PeerProbe::destroyed), 1);

    service->stop();
    EXPECT_EQ(probe->read(&PeerProbe::destroyed), 2);
}

TEST_F(ViewerTest, peerThatCannotStartIsReportedAndTriedAgain) {
    probe->failCreation = true;
    startWithFakePeers();
    auto failed = poll("native-1");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, 500);
    EXPECT_NE(failed->body.find("no encoder"), std::string::npos);
    {
        std::lock_guard lock(probe->mutex);
        probe->failCreation = false;
    }
    EXPECT_EQ(events("native-1").size(), 1u);
}

TEST_F(ViewerTest, encoderBitrateFollowsTheTelemetryAnswerOnlyWhenItChanges) {
    startWithFakePeers();
    post("/game-sessions/s-1/webrtc/viewport", token,
         {{"width", 1280},
          {"height", 720},
          {"codec", "h264"},
          {"autoBitrate", true},
          {"bitrate", 12000000}});
    events("native-1");
    for (double proposal : {12e6, 15e6, 15e6, 60e6, 70e6, 1e6, 1.5e6}) {
        auto reply =
            post("/game-sessions/s-1/webrtc/telemetry", token, {{"availableBitrate", proposal}});
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->status, 200);
    }
    // The stream made ready at the start takes the reported bitrate when the viewer comes.
    EXPECT_EQ(probe->read(&PeerProbe::bitrates),
              (std::vector<std::uint64_t>{12'000'000, 15'000'000, 50'000'000, 2'000'000}));
    EXPECT_EQ(probe->read(&PeerProbe::created).size(), 1u);

    // The next viewer's stream starts where the loop left it.
    events("native-2");
    EXPECT_EQ(probe->read(&PeerProbe::created).back().bitrate, 2'000'000u);
}

TEST_F(ViewerTest, sessionSecondsCloseThePeerThatLongAfterItConnected) {
    options.sessionSeconds = 1;
    startWithFakePeers();
    events("native-1");
    auto cb = callbacks();
    cb.onStateChange(1);
    EXPECT_FALSE(waitUntil([&] { return probe->read(&PeerProbe::closes) > 0; },
                           std::chrono::milliseconds(1300)))
        << "closed before the connection was made";
    auto connectedAt = std::chrono::steady_clock::now();
    cb.onStateChange(2);
    ASSERT_TRUE(waitUntil([&] { return probe->read(&PeerProbe::closes) > 0; }));
    auto closedAfter = std::chrono::steady_clock::now() - connectedAt;
    EXPECT_GE(closedAfter, std::chrono::milliseconds(950));
    EXPECT_LT(closedAfter, std::chrono::seconds(3));
    EXPECT_EQ(probe->read(&PeerProbe::closes), 1);
}

TEST_F(ViewerTest, dataChannelMessagesFromTheViewerAreRecorded) {
    options.recordFile = (scratch / "record.jsonl").string();
    startWithFakePeers();
    events("native-1");
    auto cb = callbacks();
    cb.onTextMessage("input", R"({"down":true,"type":"key","vk":65})");
    cb.onBinaryMessage("microphone", {'M', 'I', 'C', '0', 0xfc, 0xff, 0x00, 0x01, 0x02, 0x03});
    cb.onBinaryMessage("microphone", {0x01});

    std::vector<json> channelLines;
    ASSERT_TRUE(waitUntil([&] {
        channelLines.clear();
        for (const json& line : recordLines()) {
            if (line.contains("channel")) {
                channelLines.push_back(line);
            }
        }
        return channelLines.size() >= 3;
    }));
    EXPECT_EQ(channelLines[0],
              json({{"channel", "input"}, {"text", R"({"down":true,"type":"key","vk":65})"}}));
    EXPECT_EQ(channelLines[1], json({{"channel", "microphone"},
                                     {"binaryLength", 10},
                                     {"firstBytes", "4d494330fcff0001"}}));
    EXPECT_EQ(channelLines[2],
              json({{"channel", "microphone"}, {"binaryLength", 1}, {"firstBytes", "01"}}));
}

TEST_F(ViewerTest, theGameCursorFollowsAbsoluteMotionAndHidesForRelativeMotion) {
    startWithFakePeers();
    events("native-1");
    auto cb = callbacks();
    cb.onTextMessage("input-fast", R"({"type":"mouse_move_absolute","x":32767,"y":100})");
    cb.onTextMessage("input", R"({"type":"mouse_move_absolute","x":0,"y":65535})");
    cb.onTextMessage("input-fast", R"({"type":"mouse_move","dx":3,"dy":-2})");
    cb.onTextMessage("input-fast", R"({"type":"mouse_move","dx":1,"dy":1})");
    // Malformed or foreign messages change nothing and answer nothing.
    cb.onTextMessage("input", R"({"type":"mouse_move_absolute","x":"1","y":2})");
    cb.onTextMessage("input", "{not json");
    cb.onTextMessage("input", "[1,2]");
    cb.onTextMessage("microphone", R"({"type":"mouse_move_absolute","x":1,"y":2})");
    cb.onTextMessage("input", R"({"type":"key","vk":65,"down":true})");

    auto sent = probe->read(&PeerProbe::sent);
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& [label, text] : sent) {
        EXPECT_EQ(label, "input");
    }
    EXPECT_EQ(json::parse(sent[0].second),
              json({{"type", "cursor"}, {"x", 32767}, {"y", 100}, {"visible", true}}));
    EXPECT_EQ(json::parse(sent[1].second),
              json({{"type", "cursor"}, {"x", 0}, {"y", 65535}, {"visible", true}}));
    EXPECT_EQ(json::parse(sent[2].second), json({{"type", "cursor"}, {"visible", false}}));
}

TEST_F(ViewerTest, microphonePacketsAreDecodedAndSummedUpInTheRecord) {
    options.recordFile = (scratch / "record.jsonl").string();
    startWithFakePeers();
    events("native-1");
    auto cb = callbacks();

    int error = 0;
    std::unique_ptr<OpusEncoder, void (*)(OpusEncoder*)> encoder(
        opus_encoder_create(48000, 1, OPUS_APPLICATION_VOIP, &error), opus_encoder_destroy);
    ASSERT_EQ(error, OPUS_OK);
    std::vector<float> frame(960);
    std::uint8_t packet[1500];
    for (int i = 0; i < MicrophoneMonitor::packetsPerSummary; ++i) {
        for (std::size_t n = 0; n < frame.size(); ++n) {
            double t = static_cast<double>(i * 960 + n) / 48000.0;
            frame[n] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * 440.0 * t));
        }
        int size = opus_encode_float(encoder.get(), frame.data(), 960, packet, sizeof packet);
        ASSERT_GT(size, 0);
        std::vector<std::uint8_t> message(4 + size);
        std::copy(std::begin(microphoneTag), std::end(microphoneTag), message.begin());
        std::copy(packet, packet + size, message.begin() + 4);
        if (i == 10) {
            cb.onBinaryMessage("microphone", {'M', 'I', 'C', '0'});  // empty: an error
        }
        cb.onBinaryMessage("microphone", message);
    }

    json summary;
    ASSERT_TRUE(waitUntil([&] {
        for (const json& line : recordLines()) {
            if (line.contains("micPackets")) {
                summary = line;
                return true;
            }
        }
        return false;
    }));
    EXPECT_EQ(summary["channel"], "microphone");
    EXPECT_EQ(summary["micPackets"], MicrophoneMonitor::packetsPerSummary);
    EXPECT_EQ(summary["micErrors"], 1);
    EXPECT_NEAR(summary["dominantHz"].get<double>(), 440.0, 10.0);
    EXPECT_NEAR(summary["rms"].get<double>(), 0.5 / std::sqrt(2.0), 0.1);
}

}  // namespace
