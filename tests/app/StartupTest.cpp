#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CommandLine.hpp"
#include "app/Startup.hpp"

namespace {

using nlohmann::json;

Preferences automatic(bool hevc = false) {
    return Preferences{hevc, 0};
}
Preferences fixed(std::int32_t mbps, bool hevc = false) {
    return Preferences{hevc, mbps};
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
        {{"https://api.example", "-h"}, Action::Help, {"https://api.example"}},
        {{"https://api.example", "-"}, Action::Refuse, {"https://api.example"}},
    };
    for (const Case& c : cases) {
        const CommandLine line = parseCommandLine(c.arguments);
        EXPECT_EQ(line.action, c.action) << ::testing::PrintToString(c.arguments);
        EXPECT_EQ(line.positional, c.positional) << ::testing::PrintToString(c.arguments);
    }
    EXPECT_NE(clientUsage().find(defaultBaseUrl), std::string::npos);
    EXPECT_EQ(chooseBaseUrl({}), "http://127.0.0.1:8080");
    EXPECT_EQ(chooseBaseUrl({"http://h", "session"}), "http://h");
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

// The first session of either reply form, else the reason the start ends.
TEST(ActiveSession, firstSessionOfEitherReplyFormElseTheReason) {
    const std::string none = "No active Quorvanta session";
    const std::string jsonError = "[json.exception.";
    const std::pair<const char*, std::string> cases[] = {
        {R"({"data":[{"id":"s-1"}]})", "s-1"},
        {R"([{"id":"a"},{"id":"b"}])", "a"},
        {"[]", none},
        {R"({"data":[]})", none},
        {"null", none},
        {R"({"sessions":[{"id":"s"}]})", none},
        {R"({"data":[{"id":42}]})",
         "[json.exception.type_error.302] type must be string, but is number"},
        {R"("text")", jsonError},
        {R"({"data":"s"})", jsonError},
        {R"({"data":[5]})", jsonError},
        {R"({"data":[{"name":"no id"}]})", jsonError},
    };
    for (const auto& [reply, expected] : cases) {
        std::string outcome;
        try {
            outcome = sessionIdFromActiveSessions(json::parse(reply));
        } catch (const json::exception& e) {
            outcome = std::string(e.what()).substr(0, expected.size());
        } catch (const std::runtime_error& e) {
            outcome = e.what();
        }
        EXPECT_EQ(outcome, expected) << reply;
    }
}

TEST(ActiveSession, deeplyNestedReplyIsRefusedWithoutExhaustingTheStack) {
    // Deep enough that a copy, one call per level, would overflow any thread's stack.
    constexpr std::size_t depth = 500'000;
    const std::string nested = std::string(depth, '[') + std::string(depth, ']');
    EXPECT_THROW(sessionIdFromActiveSessions(json::parse(nested)), json::exception);
    EXPECT_THROW(sessionIdFromActiveSessions(json::parse(R"({"data":)" + nested + "}")),
                 json::exception);
}

}  // namespace
