// The service's offering side against the client's own WebRTC layer, in one process and
// over HTTP on loopback, as a real viewer would meet it.

#include <atomic>
#include <cstdio>
#include <map>
#include <set>

#include "ServiceFixture.hpp"
#include "rtc/rtc.hpp"

using nlohmann::json;

namespace {

// A minimal viewer: polls the events, answers the offer, posts its candidates after its
// answer, and counts what arrives.
class Viewer {
  public:
    Viewer(int port, std::string token, std::string viewerId, rtc::VideoCodec codec)
        : http("127.0.0.1", port), token(std::move(token)), viewerId(std::move(viewerId)) {
        http.set_read_timeout(10, 0);
        rtc::Configuration config;
        config.videoCodec = codec;
        config.bindAddress = "127.0.0.1";
        peer = std::make_unique<rtc::PeerConnection>(config);
        peer->onLocalDescription([this](rtc::Description answer) {
            postSignal({{"type", "set_remote_description"},
                        {"sdpType", answer.typeString()},
                        {"sdp", std::string(answer)}});
            std::lock_guard lock(mutex);
            answerPosted = true;
            for (const json& held : heldCandidates) {
                postSignal(held);
            }
            heldCandidates.clear();
        });
        peer->onLocalCandidate([this](rtc::Candidate candidate) {
            json body = {{"type", "add_remote_candidate"},
                         {"candidate", candidate.candidate()},
                         {"mid", candidate.mid()}};
            std::lock_guard lock(mutex);
            answerPosted ? postSignal(body) : heldCandidates.push_back(body);
        });
        peer->onStateChange([this](rtc::PeerConnection::State state) {
            std::lock_guard lock(mutex);
            states.push_back(state);
        });
        peer->onTrack([this, codec](std::shared_ptr<rtc::Track> track) {
            if (track->mid() == "video") {
                if (codec == rtc::VideoCodec::H265) {
                    track->setMediaHandler(std::make_shared<rtc::H265RtpDepacketizer>());
                } else {
                    track->setMediaHandler(std::make_shared<rtc::H264RtpDepacketizer>());
                }
                track->onFrame([this](rtc::binary, rtc::FrameInfo) { ++videoFrames; });
            } else {
                track->setMediaHandler(std::make_shared<rtc::RtpDepacketizer>(48000));
                track->onFrame([this](rtc::binary, rtc::FrameInfo) { ++audioFrames; });
            }
            std::lock_guard lock(mutex);
            tracks.push_back(track);
        });
        peer->onDataChannel([this](std::shared_ptr<rtc::DataChannel> channel) {
            std::string label = channel->label();
            channel->onMessage([this, label](rtc::message_variant message) {
                if (auto* text = std::get_if<std::string>(&message)) {
                    std::lock_guard lock(mutex);
                    received.emplace_back(label, *text);
                }
            });
            std::lock_guard lock(mutex);
            channels[label] = channel;
        });
        poller = std::thread([this] { poll(); });
    }

    ~Viewer() {
        stopping = true;
        poller.join();
        peer->close();
    }

    bool reached(rtc::PeerConnection::State state) {
        std::lock_guard lock(mutex);
        return std::find(states.begin(), states.end(), state) != states.end();
    }
    std::shared_ptr<rtc::DataChannel> channel(const std::string& label) {
        std::lock_guard lock(mutex);
        auto found = channels.find(label);
        return found == channels.end() ? nullptr : found->second;
    }
    std::vector<std::pair<std::string, std::string>> textsReceived() {
        std::lock_guard lock(mutex);
        return received;
    }
    std::uint64_t framesOn(const std::string& mid) {
        return mid == "video" ? videoFrames.load() : audioFrames.load();
    }
    int signalFailures() const { return failedSignals; }
    std::vector<json> candidateEvents() {
        std::lock_guard lock(mutex);
        return seenCandidates;
    }

  private:
    void postSignal(json body) {
        body["viewerId"] = viewerId;
        auto reply =
            http.Post("/game-sessions/s-1/webrtc/signal", {{"Authorization", "Bearer " + token}},
                      body.dump(), "application/json");
        if (!reply || reply->status != 200) {
            ++failedSignals;
        }
    }

    void poll() {
        long long after = 0;
        bool offerApplied = false;
        while (!stopping) {
            auto reply =
                http.Get(("/game-sessions/s-1/webrtc/events?after=" + std::to_string(after) +
                          "&viewerId=" + viewerId)
                             .c_str(),
                         {{"Authorization", "Bearer " + token}});
            if (reply && reply->status == 200) {
                json events = json::parse(reply->body)["events"];
                for (const json& event : events) {
                    after = std::max(after, event["id"].get<long long>());
                    if (event["type"] == "local_description" && !offerApplied) {
                        peer->setRemoteDescription(
                            rtc::Description(event["sdp"], event["sdpType"]));
                        offerApplied = true;
                    } else if (event["type"] == "local_candidate") {
                        {
                            std::lock_guard lock(mutex);
                            seenCandidates.push_back(event);
                        }
                        peer->addRemoteCandidate(
                            rtc::Candidate(event["candidate"], event.value("mid", "video")));
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    httplib::Client http;
    const std::string token;
    const std::string viewerId;
    std::unique_ptr<rtc::PeerConnection> peer;
    std::mutex mutex;
    bool answerPosted = false;
    std::vector<json> heldCandidates;
    std::vector<rtc::PeerConnection::State> states;
    std::vector<std::shared_ptr<rtc::Track>> tracks;
    std::map<std::string, std::shared_ptr<rtc::DataChannel>> channels;
    std::vector<json> seenCandidates;
    std::vector<std::pair<std::string, std::string>> received;
    std::atomic<std::uint64_t> videoFrames = 0;
    std::atomic<std::uint64_t> audioFrames = 0;
    std::atomic<int> failedSignals = 0;
    std::atomic<bool> stopping = false;
    std::thread poller;
};

using StreamTest = ServiceFixture;
using State = rtc::PeerConnection::State;

TEST_F(StreamTest, viewerConnectsReceivesBothTracksAndItsMessagesAreRecorded) {
    options.recordFile = (scratch / "record.jsonl").string();
    start(makeOfferingPeerFactory());
    std::string token = login();
    post("/game-sessions/s-1/webrtc/viewport", token,
         {{"width", 640},
          {"height", 360},
          {"codec", "h264"},
          {"autoBitrate", true},
          {"bitrate", 12000000}});

    Viewer viewer(port, token, "native-stream-1", rtc::VideoCodec::H264);
    ASSERT_TRUE(
        waitUntil([&] { return viewer.reached(State::Connected); }, std::chrono::seconds(20)));
    ASSERT_TRUE(
        waitUntil([&] { return viewer.framesOn("video") >= 30; }, std::chrono::seconds(15)));
    EXPECT_TRUE(waitUntil([&] { return viewer.framesOn("audio") >= 25; }));
    EXPECT_EQ(viewer.signalFailures(), 0);

    // Some candidates come without a mid and still worked: the viewer defaulted them.
    auto candidates = viewer.candidateEvents();
    EXPECT_FALSE(candidates.empty());
    for (const json& event : candidates) {
        EXPECT_NE(event["candidate"].get<std::string>().find(" 127.0.0.1 "), std::string::npos)
            << event.dump();
    }

    // The encoder takes a new bitrate while streaming, and the stream goes on.
    auto answered =
        post("/game-sessions/s-1/webrtc/telemetry", token, {{"availableBitrate", 3000000}});
    ASSERT_TRUE(answered);
    EXPECT_EQ(json::parse(answered->body)["bitrate"], 3000000);
    std::uint64_t before = viewer.framesOn("video");
    EXPECT_TRUE(waitUntil([&] { return viewer.framesOn("video") >= before + 30; }));

    for (const char* label : {"input", "input-fast", "microphone"}) {
        ASSERT_TRUE(waitUntil([&] {
            auto channel = viewer.channel(label);
            return channel && channel->isOpen();
        })) << label;
    }
    viewer.channel("input")->send(std::string(R"({"down":true,"type":"key","vk":65})"));
    rtc::binary packet = {std::byte('M'), std::byte('I'),  std::byte('C'),
                          std::byte('0'), std::byte(0xfc), std::byte(0x01)};
    viewer.channel("microphone")->send(packet);

    auto recorded = [&](const json& expected) {
        return waitUntil([&] {
            for (const json& line : recordLines()) {
                if (line == expected) {
                    return true;
                }
            }
            return false;
        });
    };
    EXPECT_TRUE(
        recorded({{"channel", "input"}, {"text", R"({"down":true,"type":"key","vk":65})"}}));
    EXPECT_TRUE(
        recorded({{"channel", "microphone"}, {"binaryLength", 6}, {"firstBytes", "4d494330fc01"}}));
}

TEST_F(StreamTest, hevcStreamStopsTheGivenSecondsAfterConnecting) {
    options.sessionSeconds = 3;
    start(makeOfferingPeerFactory());
    std::string token = login();
    post("/game-sessions/s-1/webrtc/viewport", token,
         {{"width", 640},
          {"height", 360},
          {"codec", "hevc"},
          {"autoBitrate", true},
          {"bitrate", 12000000}});

    Viewer viewer(port, token, "native-stream-2", rtc::VideoCodec::H265);
    ASSERT_TRUE(
        waitUntil([&] { return viewer.reached(State::Connected); }, std::chrono::seconds(20)));
    auto connectedAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(
        waitUntil([&] { return viewer.framesOn("video") >= 10; }, std::chrono::seconds(15)));

    // The stream stops once the session's time is up: no frame arrives for a whole second.
    std::uint64_t lastCount = viewer.framesOn("video");
    auto lastChange = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitUntil(
        [&] {
            auto now = std::chrono::steady_clock::now();
            if (viewer.framesOn("video") != lastCount) {
                lastCount = viewer.framesOn("video");
                lastChange = now;
            }
            return now - lastChange > std::chrono::seconds(1);
        },
        std::chrono::seconds(10)));
    auto stoppedAfter = lastChange - connectedAt;
    EXPECT_GE(stoppedAfter, std::chrono::milliseconds(2500));
    EXPECT_LE(stoppedAfter, std::chrono::seconds(3 + 2));

    // The viewer learns of the end, at the latest through its watch for silence.
    auto stoppedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitUntil(
        [&] {
            return viewer.reached(State::Disconnected) || viewer.reached(State::Closed) ||
                   viewer.reached(State::Failed);
        },
        std::chrono::seconds(15)));
    std::printf(
        "[ figures ] stream stopped %lld ms after connected; viewer saw the end %lld ms "
        "after that\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(stoppedAfter).count()),
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - stoppedAt)
                                   .count()));
}

}  // namespace
