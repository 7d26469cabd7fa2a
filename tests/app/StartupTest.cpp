#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <vector>

#include "api/ApiClient.hpp"
#include "api/CurlGlobal.hpp"
#include "app/CommandLine.hpp"
#include "app/Startup.hpp"
#include "app/StatisticsTitle.hpp"
#include "settings/SettingsStore.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"

namespace {

using nlohmann::json;

Preferences automatic(bool hevc = false) {
    return Preferences{hevc, 0};
}
Preferences fixed(std::int32_t mbps, bool hevc = false) {
    return Preferences{hevc, mbps};
}

TEST(StatisticsTitle, joinsTheFourCountersWithTheirLabels) {
    EXPECT_EQ(statisticsTitle(1200, 1180, 3000, 2),
              "Quorvanta | received=1200 decoded=1180 audio=3000 audio_errors=2");
    EXPECT_EQ(statisticsTitle(0, 0, 0, 0),
              "Quorvanta | received=0 decoded=0 audio=0 audio_errors=0");
    EXPECT_EQ(statisticsTitle(18446744073709551615ull, 1, 20, 300),
              "Quorvanta | received=18446744073709551615 decoded=1 audio=20 audio_errors=300");
}

TEST(CommandLine, optionsAreRecognisedAndAnyOtherDashArgumentIsNeverAnAddress) {
    using Action = CommandLine::Action;
    struct Case {
        std::vector<std::string> arguments;
        Action action;
        std::vector<std::string> positional;
    };
    const std::vector<Case> cases = {
        {{}, Action::Run, {}},
        {{"https://api.example"}, Action::Run, {"https://api.example"}},
        {{"https://api.example", "game-7", "extra"},
         Action::Run,
         {"https://api.example", "game-7", "extra"}},
        {{"--help"}, Action::Help, {}},
        {{"https://api.example", "-h"}, Action::Help, {"https://api.example"}},
        {{"--version"}, Action::Version, {}},
        {{"--verbose"}, Action::Refuse, {}},
        {{"https://api.example", "-"}, Action::Refuse, {"https://api.example"}},
    };
    for (const Case& c : cases) {
        const CommandLine line = parseCommandLine(c.arguments);
        EXPECT_EQ(line.action, c.action) << ::testing::PrintToString(c.arguments);
        EXPECT_EQ(line.positional, c.positional) << ::testing::PrintToString(c.arguments);
    }
    EXPECT_NE(clientUsage().find("BASE_URL"), std::string::npos);
    EXPECT_NE(clientUsage().find(defaultBaseUrl), std::string::npos);
    EXPECT_EQ(clientVersion(), std::string("quorvanta-client ") + QV_VERSION + "\n");
}

TEST(StreamSize, roundsDownToEvenKeepingTheSign) {
    struct Case {
        std::int32_t width, height, evenWidth, evenHeight;
    };
    for (const Case& c : std::vector<Case>{{1366, 768, 1366, 768},
                                           {1919, 1201, 1918, 1200},
                                           {1, 1, 0, 0},
                                           {0, 0, 0, 0},
                                           {-3, -4, -2, -4},
                                           {2147483647, 3, 2147483646, 2}}) {
        const StreamSize size = evenStreamSize(c.width, c.height);
        EXPECT_EQ(size.width, c.evenWidth) << c.width;
        EXPECT_EQ(size.height, c.evenHeight) << c.height;
    }
}

TEST(TargetBitrate, fixedSettingWinsAndAutomaticFollowsBothDimensions) {
    struct Case {
        Preferences preferences;
        StreamSize size;
        std::uint64_t expected;
    };
    const std::vector<Case> cases = {
        {automatic(), {1366, 768}, 8000000},     {automatic(), {1918, 1200}, 8000000},
        {automatic(), {1920, 1080}, 12000000},   {automatic(), {2560, 1080}, 12000000},
        {automatic(), {1920, 1440}, 12000000},   {automatic(), {2558, 1440}, 12000000},
        {automatic(), {2560, 1440}, 20000000},   {automatic(), {3840, 2160}, 20000000},
        {fixed(35), {1366, 768}, 35000000},      {fixed(4), {3840, 2160}, 4000000},
        {fixed(2147), {1920, 1080}, 2147000000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(initialTargetBitrate(c.preferences, c.size), c.expected)
            << c.preferences.bitrateMbps << " at " << c.size.width << "x" << c.size.height;
    }
}

TEST(Viewport, bodyCarriesSizeCodecAndBitrateMode) {
    EXPECT_EQ(
        viewportBody({3840, 2160}, automatic()).dump(),
        R"({"autoBitrate":true,"bitrate":12000000,"codec":"h264","height":2160,"width":3840})");
    EXPECT_EQ(
        viewportBody({1366, 768}, fixed(35, true)).dump(),
        R"({"autoBitrate":false,"bitrate":35000000,"codec":"hevc","height":768,"width":1366})");
    EXPECT_EQ(displayLogLine({2560, 1440}), "display=2560x1440");
}

TEST(Viewport, handWrittenBitrateOutOfRangeStartsAutomatic) {
    TempDir home;
    ScopedEnv localAppData("LOCALAPPDATA", home.path().string());
    for (const std::int32_t saved : {-8, 3000, 2147483647}) {
        ASSERT_TRUE(SettingsStore::writeBitrateMbps(saved));
        const Preferences preferences = readPreferences();
        EXPECT_EQ(preferences.bitrateMbps, 0) << saved;
        EXPECT_EQ(viewportBody({1920, 1080}, preferences)["autoBitrate"], true) << saved;
        EXPECT_EQ(initialTargetBitrate(preferences, {1920, 1080}), 12000000u) << saved;
    }
    ASSERT_TRUE(SettingsStore::writeBitrateMbps(20));
    ASSERT_TRUE(SettingsStore::writeCodec(true));
    EXPECT_EQ(
        viewportBody({1920, 1080}, readPreferences()).dump(),
        R"({"autoBitrate":false,"bitrate":20000000,"codec":"hevc","height":1080,"width":1920})");
}

TEST(ActiveSession, firstSessionOfEitherReplyFormIsUsed) {
    EXPECT_EQ(sessionIdFromActiveSessions(json::parse(R"({"data":[{"id":"s-1"}]})")), "s-1");
    EXPECT_EQ(sessionIdFromActiveSessions(json::parse(R"([{"id":"a"},{"id":"b"}])")), "a");
    EXPECT_EQ(sessionIdFromActiveSessions(json::parse(R"({"data":[{"id":"x","game":1}],"n":1})")),
              "x");
}

TEST(ActiveSession, noSessionIsReportedAsSuch) {
    for (const char* reply : {"[]", "{}", R"({"data":[]})", "null", R"({"data":null})",
                              R"({"data":{}})", R"({"sessions":[{"id":"s"}]})"}) {
        try {
            sessionIdFromActiveSessions(json::parse(reply));
            ADD_FAILURE() << reply << " gave a session";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "No active Quorvanta session") << reply;
        }
    }
}

TEST(ActiveSession, malformedRepliesEndWithTheJsonLibraryError) {
    try {
        sessionIdFromActiveSessions(json::parse(R"({"data":[{"id":42}]})"));
        ADD_FAILURE() << "numeric id accepted";
    } catch (const json::type_error& e) {
        EXPECT_NE(std::string(e.what()).find("type must be string, but is number"),
                  std::string::npos);
    }
    for (const char* reply : {R"("text")", "5", "true", R"({"data":"s"})", R"({"data":[5]})",
                              R"({"data":[{"name":"no id"}]})", R"({"data":{"id":"s"}})"}) {
        EXPECT_THROW(sessionIdFromActiveSessions(json::parse(reply)), json::exception) << reply;
    }
}

TEST(ActiveSession, deeplyNestedReplyIsRefusedWithoutExhaustingTheStack) {
    // Deep enough that handling it by copying, one call per level, overflows any thread's
    // stack; the parser and the destructor themselves do not recurse.
    constexpr std::size_t depth = 500'000;
    const std::string nested = std::string(depth, '[') + std::string(depth, ']');
    EXPECT_THROW(sessionIdFromActiveSessions(json::parse(nested)), json::exception);
    EXPECT_THROW(sessionIdFromActiveSessions(json::parse(R"({"data":)" + nested + "}")),
                 json::exception);
}

TEST(ActiveSession, secondArgumentIsUsedWithoutAskingTheService) {
    CurlGlobal curl;
    std::atomic<int> lookups{0};
    LocalHttpServer server;
    server.server.Get("/game-sessions/active", [&](const auto&, auto& res) {
        ++lookups;
        res.set_content(R"({"data":[{"id":"from-service"}]})", "application/json");
    });
    server.start();
    TempDir folder;
    EventLog log(folder.path() / "client.log");
    const std::atomic<bool> stopRequested{false};
    const ApiClient api(server.baseUrl(), log, stopRequested);

    EXPECT_EQ(lookUpSessionId({server.baseUrl(), "given id"}, api), "given id");
    EXPECT_EQ(lookUpSessionId({server.baseUrl(), "given", "extra"}, api), "given");
    EXPECT_EQ(lookups.load(), 0);
    EXPECT_EQ(lookUpSessionId({server.baseUrl()}, api), "from-service");
    EXPECT_EQ(lookups.load(), 1);
    server.stop();
}

TEST(Arguments, firstArgumentIsTheBaseUrlElseTheLocalDefault) {
    EXPECT_EQ(chooseBaseUrl({}), "http://127.0.0.1:8080");
    EXPECT_EQ(chooseBaseUrl({"http://10.0.0.9:9000/"}), "http://10.0.0.9:9000/");
    EXPECT_EQ(chooseBaseUrl({"http://h", "session"}), "http://h");
}

TEST(ViewerId, isNativeAndTheMonotonicClockInNanoseconds) {
    const std::string first = makeViewerId();
    const std::string second = makeViewerId();
    const std::regex form("native-[0-9]+");
    EXPECT_TRUE(std::regex_match(first, form)) << first;
    EXPECT_TRUE(std::regex_match(second, form)) << second;
    // Nanoseconds, not a coarser unit: two ids in a row differ and grow.
    EXPECT_LT(std::stoll(first.substr(7)), std::stoll(second.substr(7)));
}

}  // namespace
