// The stand-in's rules the end-to-end runs would not notice breaking.

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "InputEcho.hpp"
#include "LocalService.hpp"
#include "LoopbackCandidates.hpp"
#include "ViewerSession.hpp"

namespace {

using nlohmann::json;

// What the fake peers were handed: the newest peer's callbacks and every answer.
struct PeerProbe {
    std::mutex mutex;
    OfferingPeerCallbacks callbacks;
    std::vector<std::string> answers;
    int created = 0;
};

struct FakePeer : SessionPeer {
    explicit FakePeer(std::shared_ptr<PeerProbe> probe) : probe(std::move(probe)) {}
    void setRemoteAnswer(const std::string& sdp) override {
        std::lock_guard lock(probe->mutex);
        probe->answers.push_back(sdp);
    }
    bool addRemoteCandidate(const std::string&, const std::string&) override { return true; }
    void setBitrate(std::uint64_t) override {}
    bool sendText(const std::string&, const std::string&) override { return true; }
    void close() override {}
    std::shared_ptr<PeerProbe> probe;
};

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ServiceOptions options;
        options.sessionId = "s-1";
        service = std::make_unique<LocalService>(
            options, [probe = probe](const OfferingPeerOptions&, OfferingPeerCallbacks callbacks) {
                {
                    std::lock_guard lock(probe->mutex);
                    probe->callbacks = callbacks;
                    ++probe->created;
                }
                callbacks.onLocalDescription("offer", "v=0\r\na=group:BUNDLE video\r\n");
                return std::make_unique<FakePeer>(probe);
            });
        client = std::make_unique<httplib::Client>("127.0.0.1", service->start(0));
        client->set_read_timeout(10, 0);
        token = json::parse(send("POST", "/auth/login", demoLogin)->body).at("access_token");
    }

    // "{t}" in the authorization stands for the token of the demo login.
    httplib::Result send(const std::string& method, const std::string& path,
                         const std::string& body, std::string authorization = "Bearer {t}") {
        if (auto at = authorization.find("{t}"); at != std::string::npos) {
            authorization.replace(at, 3, token);
        }
        const httplib::Headers headers = {{"Authorization", authorization}};
        return method == "GET" ? client->Get(path, headers)
                               : client->Post(path, headers, body, "application/json");
    }

    json events(const std::string& viewerId, int after) {
        auto reply = send(
            "GET", webrtc + "events?after=" + std::to_string(after) + "&viewerId=" + viewerId, "");
        EXPECT_EQ(reply->status, 200);
        return json::parse(reply->body).at("events");
    }

    static constexpr const char* demoLogin =
        R"({"email":"demo@quorvanta.local","password":"demo"})";
    const std::string webrtc = "/game-sessions/s-1/webrtc/";
    std::shared_ptr<PeerProbe> probe = std::make_shared<PeerProbe>();
    std::unique_ptr<LocalService> service;
    std::unique_ptr<httplib::Client> client;
    std::string token;
};

TEST_F(ServiceTest, httpApiAnswersEachRequestAsTheClientExpects) {
    auto viewport = [](const std::string& width) {
        return R"({"width":)" + width + R"(,"height":720,"codec":"h264","bitrate":1})";
    };
    auto proposal = [](const std::string& bitrate) {
        return R"({"availableBitrate":)" + bitrate + "}";
    };
    struct Row {
        std::string method, path, body;
        int status;
        std::string inBody = "";  // a piece the reply's body must hold
        std::string authorization = "Bearer {t}";
    };
    const std::vector<Row> rows = {
        {"POST", "/auth/login", "{not json", 400, "", ""},
        {"GET", "/game-sessions/active", "", 401, "", ""},
        {"GET", "/game-sessions/active", "", 401, "", "Bearer {t}x"},
        {"GET", "/game-sessions/s-2/webrtc/config", "", 404},
        {"POST", webrtc + "viewport", viewport("7680"), 200, "{}"},
        {"POST", webrtc + "viewport", viewport("7681"), 400},
        {"POST", webrtc + "viewport", viewport("0"), 400},
        {"POST", webrtc + "viewport", viewport(R"("1280")"), 400},
        {"POST", webrtc + "viewport", R"({"width":1,"height":1,"codec":"vp8","bitrate":1})", 400},
        // The answer is the proposal within 2 and 50 Mbit/s, a whole number.
        {"POST", webrtc + "telemetry", proposal("1999999"), 200, R"({"bitrate":2000000})"},
        {"POST", webrtc + "telemetry", proposal("50000001"), 200, R"({"bitrate":50000000})"},
        {"POST", webrtc + "telemetry", proposal("12500000.9"), 200, R"({"bitrate":12500000})"},
        {"POST", webrtc + "telemetry", R"({"rttMs":0})", 400},
        {"POST", webrtc + "signal", R"({"viewerId":"nobody","type":"x"})", 409},
        {"GET", webrtc + "events?after=0", "", 400},
        {"GET", webrtc + "events?after=x&viewerId=v", "", 400},
        {"GET", "/diagnostics/chunk?size=14", "", 200, R"({"data":"xxx"})"},
        {"GET", "/diagnostics/chunk?size=12ab", "", 400},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.method + " " + row.path + " " + row.body + " [" + row.authorization + "]");
        auto reply = send(row.method, row.path, row.body, row.authorization);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, row.status);
        EXPECT_NE(reply->body.find(row.inBody), std::string::npos) << reply->body;
    }
}

TEST_F(ServiceTest, eventsComeOnceInOrderToTheNewestViewerWhichAnswersOnlyWithAnAnswer) {
    json first = events("native-1", 0);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0], json({{"id", 1},
                              {"type", "local_description"},
                              {"sdpType", "offer"},
                              {"sdp", "v=0\r\na=group:BUNDLE video\r\n"}}));
    OfferingPeerCallbacks callbacks;
    {
        std::lock_guard lock(probe->mutex);
        callbacks = probe->callbacks;
    }
    for (int i = 0; i < 4; ++i) {
        callbacks.onLocalCandidate(
            "candidate:" + std::to_string(i) + " 1 UDP 1 127.0.0.1 9 typ host",
            std::string("video"));
    }
    json later = events("native-1", 1);
    ASSERT_EQ(later.size(), 4u);
    EXPECT_EQ(later[0]["id"], 2);
    EXPECT_EQ(later[3]["id"], 5);
    // Viewers must cope with candidates that name no mid: every second one goes without.
    EXPECT_EQ(later[0]["mid"], "video");
    EXPECT_FALSE(later[1].contains("mid"));
    EXPECT_TRUE(events("native-1", 5).empty());

    auto describe = [](const char* type) {
        return json({{"viewerId", "native-1"},
                     {"type", "set_remote_description"},
                     {"sdpType", type},
                     {"sdp", "v=0\r\n"}})
            .dump();
    };
    EXPECT_EQ(send("POST", webrtc + "signal", describe("offer"))->status, 400);
    EXPECT_EQ(send("POST", webrtc + "signal", describe("answer"))->status, 200);
    {
        std::lock_guard lock(probe->mutex);
        EXPECT_EQ(probe->answers, std::vector<std::string>{"v=0\r\n"});
    }
    // A new viewer takes the session: a fresh peer, and the replaced viewer hears nothing more.
    EXPECT_EQ(events("native-2", 0).size(), 1u);
    EXPECT_TRUE(events("native-1", 0).empty());
    std::lock_guard lock(probe->mutex);
    EXPECT_EQ(probe->created, 2);
}

// Everything the stand-in sends stays on loopback, also when a viewer offers more.
TEST(LoopbackCandidatesTest, onlyLoopbackAddressesPass) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"candidate:1 1 UDP 2015363327 127.0.0.1 50213 typ host", true},
        {"candidate:1 1 udp 2015363327 127.255.0.3 50213 typ host", true},
        {"1 1 UDP 2015363327 ::1 50213 typ host", true},
        {"candidate:1 1 UDP 2015363327 10.1.2.3 50213 typ host", false},
        {"candidate:1 1 UDP 2015363327 1127.0.0.1 50213 typ host", false},
        {"candidate:1 1 UDP 2015363327 fe80::1 50213 typ host", false},
        {"candidate:1 1 UDP 1 5d0c7e44-3b1f.local 50213 typ host", false},
        {"candidate:1 1 UDP", false},
    };
    for (const auto& [candidate, loopback] : cases) {
        EXPECT_EQ(isLoopbackCandidate(candidate), loopback) << candidate;
    }
}

TEST(InputEchoTest, pressesStepTheSceneAndReleasesOrForeignMessagesDoNot) {
    InputEcho echo;
    auto feed = [&](const char* text) { return echo.onMessage(json::parse(text)); };
    const int first = echo.scene().background;
    EXPECT_NE(feed(R"({"down":true,"type":"key","vk":65})").value().background, first);
    const SceneState pressed = echo.scene();
    for (const char* ignored :
         {R"({"down":false,"type":"key","vk":65})", R"({"type":"key","vk":65,"down":"yes"})",
          R"({"type":"keyboard","vk":65,"down":true})"}) {
        EXPECT_FALSE(feed(ignored)) << ignored;
        EXPECT_EQ(echo.scene(), pressed) << ignored;
    }
    EXPECT_NE(feed(R"({"button":1,"down":true,"type":"mouse_button"})").value().background,
              pressed.background);
}

}  // namespace
