#include <chrono>

#include "ServiceFixture.hpp"

using nlohmann::json;

namespace {

using HttpTest = ServiceFixture;

TEST_F(HttpTest, loginIssuesAFreshTokenOnlyForTheDemoAccount) {
    start();
    std::string first = login();
    std::string second = login();
    EXPECT_FALSE(first.empty());
    EXPECT_NE(first, second);

    for (const char* body : {R"({"email":"demo@quorvanta.local","password":"wrong"})",
                             R"({"email":"other@quorvanta.local","password":"demo"})",
                             R"({"email":"demo@quorvanta.local","password":5})", R"({})"}) {
        auto reply = client->Post("/auth/login", body, "application/json");
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, 401) << body;
    }
    auto malformed = client->Post("/auth/login", "{not json", "application/json");
    ASSERT_TRUE(malformed);
    EXPECT_EQ(malformed->status, 400);
}

TEST_F(HttpTest, changedAccountReplacesTheDemoOne) {
    options.email = "player@example.test";
    options.password = "secret";
    start();
    auto old = client->Post("/auth/login", R"({"email":"demo@quorvanta.local","password":"demo"})",
                            "application/json");
    auto changed =
        client->Post("/auth/login", R"({"email":"player@example.test","password":"secret"})",
                     "application/json");
    ASSERT_TRUE(old && changed);
    EXPECT_EQ(old->status, 401);
    EXPECT_EQ(changed->status, 200);
}

TEST_F(HttpTest, everyEndpointButLoginRefusesMissingOrForeignTokens) {
    start();
    std::string token = login();
    const std::vector<std::pair<std::string, std::string>> endpoints = {
        {"GET", "/game-sessions/active"},
        {"POST", "/game-sessions/s-1/webrtc/viewport"},
        {"GET", "/game-sessions/s-1/webrtc/config"},
        {"POST", "/game-sessions/s-1/webrtc/signal"},
        {"GET", "/game-sessions/s-1/webrtc/events?after=0&viewerId=v"},
        {"POST", "/game-sessions/s-1/webrtc/telemetry"},
        {"GET", "/diagnostics/ping"},
        {"GET", "/diagnostics/chunk?size=10"},
        {"POST", "/diagnostics/upload"},
        {"GET", "/diagnostics/status"},
        {"GET", "/no/such/path"},
    };
    const std::vector<httplib::Headers> refused = {
        {},
        {{"Authorization", "Bearer " + token + "x"}},
        {{"Authorization", token}},
        {{"Authorization", "Basic " + token}},
        {{"Authorization", "Bearer "}},
    };
    for (const auto& [method, path] : endpoints) {
        for (const auto& headers : refused) {
            auto reply = method == "GET"
                             ? client->Get(path.c_str(), headers)
                             : client->Post(path.c_str(), headers, "{}", "application/json");
            ASSERT_TRUE(reply) << path;
            EXPECT_EQ(reply->status, 401) << method << " " << path;
        }
    }
    auto accepted = get("/diagnostics/ping", token);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->status, 200);
}

TEST_F(HttpTest, activeSessionAndConfigHaveTheShapesTheClientReads) {
    start();
    std::string token = login();
    auto active = get("/game-sessions/active", token);
    ASSERT_TRUE(active);
    ASSERT_EQ(active->status, 200);
    json sessions = json::parse(active->body);
    ASSERT_TRUE(sessions["data"].is_array());
    ASSERT_EQ(sessions["data"].size(), 1u);
    EXPECT_EQ(sessions["data"][0]["id"], "s-1");

    auto config = get("/game-sessions/s-1/webrtc/config", token);
    ASSERT_TRUE(config);
    EXPECT_EQ(json::parse(config->body), json({{"iceServers", json::array()}}));

    auto unknown = get("/game-sessions/s-2/webrtc/config", token);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    auto wrongMethod = post("/game-sessions/s-1/webrtc/config", token, json::object());
    ASSERT_TRUE(wrongMethod);
    EXPECT_EQ(wrongMethod->status, 405);
}

TEST_F(HttpTest, telemetryAnswerIsTheProposalClampedToTwoToFiftyMegabits) {
    start();
    std::string token = login();
    const std::vector<std::pair<json, std::uint64_t>> cases = {
        {15'000'000, 15'000'000}, {1'000'000, 2'000'000}, {0, 2'000'000},
        {-5, 2'000'000},          {2'000'000, 2'000'000}, {50'000'000, 50'000'000},
        {50'000'001, 50'000'000}, {9e12, 50'000'000},     {12'500'000.9, 12'500'000},
    };
    for (const auto& [proposal, expected] : cases) {
        json report = {
            {"availableBitrate", proposal}, {"packetLoss", 0.0},     {"rttMs", 0.0},
            {"droppedFrames", 0.0},         {"viewportWidth", 1280}, {"viewportHeight", 720}};
        auto reply = post("/game-sessions/s-1/webrtc/telemetry", token, report);
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->status, 200) << proposal;
        json answer = json::parse(reply->body);
        EXPECT_TRUE(answer["bitrate"].is_number_unsigned()) << proposal;
        EXPECT_EQ(answer["bitrate"].get<std::uint64_t>(), expected) << proposal;
    }
    auto missing = post("/game-sessions/s-1/webrtc/telemetry", token, {{"rttMs", 0.0}});
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 400);
}

TEST_F(HttpTest, diagnosticsAnswerWithSizesAndRealMachineFigures) {
    start();
    std::string token = login();
    auto ping = get("/diagnostics/ping", token);
    ASSERT_TRUE(ping);
    EXPECT_EQ(json::parse(ping->body), json({{"ok", true}}));

    for (std::size_t size : {262144u, 1000u, 11u, 0u}) {
        auto chunk = get("/diagnostics/chunk?size=" + std::to_string(size), token);
        ASSERT_TRUE(chunk);
        ASSERT_EQ(chunk->status, 200);
        EXPECT_TRUE(json::accept(chunk->body));
        EXPECT_EQ(chunk->body.size(), std::max<std::size_t>(size, 11)) << size;
    }
    auto huge = get("/diagnostics/chunk?size=999999999999", token);
    ASSERT_TRUE(huge);
    EXPECT_LE(huge->body.size(), 8u * 1024 * 1024 + 16);
    auto bad = get("/diagnostics/chunk?size=12ab", token);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);

    json payload = {{"payload", std::string(61440, 'x')}};
    auto upload = post("/diagnostics/upload", token, payload);
    ASSERT_TRUE(upload);
    EXPECT_EQ(json::parse(upload->body)["received"].get<std::size_t>(), payload.dump().size());

    for (int i = 0; i < 2; ++i) {
        auto status = get("/diagnostics/status", token);
        ASSERT_TRUE(status);
        json figures = json::parse(status->body);
        ASSERT_TRUE(figures["linux"]["cores"].is_number_integer());
        EXPECT_GE(figures["linux"]["cores"].get<int>(), 1);
        EXPECT_EQ(figures["linux"]["cores"].get<int>(),
                  static_cast<int>(std::thread::hardware_concurrency()));
        ASSERT_TRUE(figures["linux"]["cpuLoadPercent"].is_number());
        double load = figures["linux"]["cpuLoadPercent"].get<double>();
        EXPECT_GE(load, 0.0);
        EXPECT_LE(load, 100.0);
        EXPECT_TRUE(figures["gameServerNetwork"]["latencyMs"].is_number_integer());
        EXPECT_TRUE(figures["gameServerNetwork"]["downloadMbps"].is_number());
        EXPECT_TRUE(figures["gameServerNetwork"]["uploadMbps"].is_number());
    }
}

TEST_F(HttpTest, cpuLoadSeesABusyThread) {
    start();
    std::string token = login();
    std::atomic<bool> spinning = true;
    std::thread busy([&] {
        volatile std::uint64_t sum = 0;
        while (spinning) {
            sum = sum + 1;
        }
    });
    get("/diagnostics/status", token);
    auto status = get("/diagnostics/status", token);
    spinning = false;
    busy.join();
    ASSERT_TRUE(status);
    double load = json::parse(status->body)["linux"]["cpuLoadPercent"].get<double>();
    // One spinning thread is at least a share of one core, whatever else runs.
    EXPECT_GE(load, 100.0 / std::thread::hardware_concurrency() * 0.5);
}

TEST_F(HttpTest, recordHoldsEveryRequestWithQueryAuthorizationAndBody) {
    options.recordFile = (scratch / "record.jsonl").string();
    start();
    std::string token = login();
    get("/game-sessions/s-1/webrtc/events?after=3&viewerId=native-7", token);
    post("/game-sessions/s-1/webrtc/viewport", token,
         {{"width", 1280},
          {"height", 720},
          {"codec", "h264"},
          {"autoBitrate", true},
          {"bitrate", 12000000}});
    client->Get("/diagnostics/ping");  // refused, and recorded all the same

    ASSERT_TRUE(waitUntil([&] { return recordLines().size() >= 4; }));
    auto lines = recordLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0]["method"], "POST");
    EXPECT_EQ(lines[0]["path"], "/auth/login");
    EXPECT_TRUE(lines[0]["authorization"].is_null());
    EXPECT_EQ(json::parse(lines[0]["body"].get<std::string>())["password"], "***") << "the password is masked";

    EXPECT_EQ(lines[1]["method"], "GET");
    EXPECT_EQ(lines[1]["path"], "/game-sessions/s-1/webrtc/events?after=3&viewerId=native-7");
    EXPECT_EQ(lines[1]["authorization"], "Bearer " + token);
    EXPECT_EQ(lines[1]["body"], "");

    EXPECT_EQ(lines[2]["path"], "/game-sessions/s-1/webrtc/viewport");
    EXPECT_EQ(json::parse(lines[2]["body"].get<std::string>())["codec"], "h264");
    EXPECT_EQ(lines[3]["path"], "/diagnostics/ping");
    EXPECT_TRUE(lines[3]["authorization"].is_null());
}

TEST_F(HttpTest, recordAppendsToAnExistingFileAndSurvivesBinaryBodies) {
    options.recordFile = (scratch / "record.jsonl").string();
    std::ofstream(options.recordFile) << R"({"earlier":true})"
                                      << "\n";
    start();
    client->Post("/auth/login", std::string("\xff\xfe{", 3), "application/json");
    ASSERT_TRUE(waitUntil([&] { return recordLines().size() >= 2; }));
    auto lines = recordLines();
    EXPECT_EQ(lines[0]["earlier"], true);
    EXPECT_EQ(lines[1]["path"], "/auth/login");
    EXPECT_FALSE(lines[1]["body"].get<std::string>().empty());
}

TEST_F(HttpTest, scenarioRulesServeTheirTimesThenNormalBehaviourReturns) {
    writeScenario({{"rules",
                    {{{"method", "GET"},
                      {"path", "/game-sessions/active"},
                      {"status", 200},
                      {"body", "{\"data\":[]}"},
                      {"times", 2}},
                     {{"path", "/diagnostics/chunk?size=5"}, {"status", 503}, {"bodyRaw", "busy"}},
                     {{"path", "/diagnostics/st"},
                      {"prefix", true},
                      {"status", 200},
                      {"bodyRaw", "{broken"},
                      {"times", 1}},
                     {{"method", "POST"},
                      {"path", "/auth/login"},
                      {"status", 201},
                      {"body", {{"access_token", 7}}},
                      {"times", 1}}}}});
    start();
    // A scripted login does not issue a token; the next one is the real thing.
    auto scripted = client->Post("/auth/login", "{}", "application/json");
    ASSERT_TRUE(scripted);
    EXPECT_EQ(scripted->status, 201);
    EXPECT_EQ(json::parse(scripted->body), json({{"access_token", 7}}));
    std::string token = login();

    for (int i = 0; i < 2; ++i) {
        auto empty = get("/game-sessions/active", token);
        ASSERT_TRUE(empty);
        EXPECT_EQ(empty->body, "{\"data\":[]}");
    }
    auto normal = get("/game-sessions/active", token);
    ASSERT_TRUE(normal);
    EXPECT_EQ(json::parse(normal->body)["data"][0]["id"], "s-1");

    // A rule with a query matches only that query, forever when no times are given.
    for (int i = 0; i < 3; ++i) {
        auto busy = get("/diagnostics/chunk?size=5", token);
        ASSERT_TRUE(busy);
        EXPECT_EQ(busy->status, 503);
        EXPECT_EQ(busy->body, "busy");
    }
    auto otherSize = get("/diagnostics/chunk?size=20", token);
    ASSERT_TRUE(otherSize);
    EXPECT_EQ(otherSize->status, 200);

    auto broken = get("/diagnostics/status", token);
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->body, "{broken");
    auto real = get("/diagnostics/status", token);
    ASSERT_TRUE(real);
    EXPECT_TRUE(json::parse(real->body).contains("linux"));
}

TEST_F(HttpTest, scenarioDelayHoldsTheReplyAndAStatuslessRuleOnlyDelays) {
    writeScenario({{"rules",
                    {{{"path", "/diagnostics/ping"}, {"delayMs", 400}, {"times", 1}},
                     {{"path", "/game-sessions/s-1/webrtc/telemetry"},
                      {"delayMs", 300},
                      {"status", 500},
                      {"bodyRaw", ""},
                      {"times", 1}}}}});
    start();
    std::string token = login();
    auto timed = [&](auto request) {
        auto begin = std::chrono::steady_clock::now();
        auto reply = request();
        return std::make_pair(std::move(reply), std::chrono::steady_clock::now() - begin);
    };
    auto [slowPing, pingTime] = timed([&] { return get("/diagnostics/ping", token); });
    ASSERT_TRUE(slowPing);
    EXPECT_EQ(json::parse(slowPing->body), json({{"ok", true}}));
    EXPECT_GE(pingTime, std::chrono::milliseconds(400));

    auto [failed, failTime] = timed([&] {
        return post("/game-sessions/s-1/webrtc/telemetry", token, {{"availableBitrate", 1}});
    });
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, 500);
    EXPECT_EQ(failed->body, "");
    EXPECT_GE(failTime, std::chrono::milliseconds(300));

    auto after = post("/game-sessions/s-1/webrtc/telemetry", token, {{"availableBitrate", 1}});
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 200);
}

TEST_F(HttpTest, scenarioDropsTheConnectionWithoutAnyReply) {
    writeScenario(
        {{"rules", {{{"path", "/diagnostics/ping"}, {"dropConnection", true}, {"times", 1}}}}});
    start();
    std::string token = login();
    auto dropped = get("/diagnostics/ping", token);
    EXPECT_FALSE(dropped);
    auto next = get("/diagnostics/ping", token);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->status, 200);
}

TEST_F(HttpTest, stopEndsALongScriptedDelayPromptly) {
    writeScenario({{"rules", {{{"path", "/diagnostics/ping"}, {"delayMs", 60000}}}}});
    options.recordFile = (scratch / "record.jsonl").string();
    start();
    std::string token = login();
    std::thread waiting([&] { get("/diagnostics/ping", token); });
    // Recorded means the request is inside the service, waiting out its delay.
    ASSERT_TRUE(waitUntil([&] { return recordLines().size() >= 2; }));
    auto begin = std::chrono::steady_clock::now();
    service->stop();
    waiting.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

TEST_F(HttpTest, malformedScenarioIsRefusedAtConstruction) {
    for (const json& scenario : {json::array(), json({{"rules", {{{"status", 200}}}}}),
                                 json({{"rules", {{{"path", "nope"}}}}}),
                                 json({{"rules", {{{"path", "/x"}, {"times", -1}}}}}),
                                 json({{"rules", {{{"path", "/x"}, {"bodyRaw", "text"}}}}}),
                                 json({{"rules", {{{"path", "/x"}, {"status", "200"}}}}})}) {
        writeScenario(scenario);
        EXPECT_THROW(LocalService{options}, std::runtime_error) << scenario.dump();
    }
    options.scenarioFile = (scratch / "missing.json").string();
    EXPECT_THROW(LocalService{options}, std::runtime_error);
}

TEST_F(HttpTest, aTakenPortIsReportedNotIgnored) {
    start();
    LocalService second(options);
    EXPECT_THROW(second.start(port), std::runtime_error);
}

}  // namespace
