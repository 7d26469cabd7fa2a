#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/CommandLine.hpp"
#include "app/SessionEnd.hpp"
#include "app/Startup.hpp"

namespace {

using nlohmann::json;
using State = rtc::PeerConnection::State;
using Reason = SessionEndReason;

TEST(CommandLine, optionsAreRecognisedAndAnyOtherDashArgumentIsNeverAnAddress) {
    using Action = CommandLine::Action;
    using Arguments = std::vector<std::string>;
    const std::vector<std::tuple<Arguments, Action, Arguments>> cases = {
        {Arguments{}, Action::Run, Arguments{}},
        {{"https://api.example", "-h"}, Action::Help, {"https://api.example"}},
        {{"https://api.example", "-"}, Action::Refuse, {"https://api.example"}},
    };
    for (const auto& [arguments, action, positional] : cases) {
        const CommandLine line = parseCommandLine(arguments);
        EXPECT_EQ(line.action, action) << ::testing::PrintToString(arguments);
        EXPECT_EQ(line.positional, positional) << ::testing::PrintToString(arguments);
    }
    EXPECT_NE(clientUsage().find(defaultBaseUrl), std::string::npos);
    EXPECT_EQ(chooseBaseUrl({}), "http://127.0.0.1:8080");
    EXPECT_EQ(chooseBaseUrl({"http://h", "session"}), "http://h");
}

TEST(TargetBitrate, fixedSettingWinsAndAutomaticFollowsBothDimensions) {
    const Preferences automatic{false, 0};
    // Each dimension just short of the next step, and both on it.
    const std::vector<std::tuple<Preferences, StreamSize, std::uint64_t>> cases = {
        {automatic, {1918, 1200}, 8000000},        {automatic, {1920, 1078}, 8000000},
        {automatic, {1920, 1080}, 12000000},       {automatic, {2558, 2160}, 12000000},
        {automatic, {3840, 1438}, 12000000},       {automatic, {2560, 1440}, 20000000},
        {{false, 35}, {1366, 768}, 35000000},      {{true, 4}, {3840, 2160}, 4000000},
        {{false, 2147}, {1920, 1080}, 2147000000},
    };
    for (const auto& [preferences, size, expected] : cases) {
        EXPECT_EQ(initialTargetBitrate(preferences, size), expected)
            << preferences.bitrateMbps << " at " << size.width << "x" << size.height;
    }
}

// The first session of either reply form, else the reason the start ends.
TEST(ActiveSession, firstSessionOfEitherReplyFormElseTheReason) {
    const std::string none = "No active Quorvanta session";
    const std::string jsonError = "[json.exception.";
    // Deep enough that a copy, one call per level, would overflow any thread's stack.
    const std::string nested = std::string(500'000, '[') + std::string(500'000, ']');
    const std::pair<std::string, std::string> cases[] = {
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
        {R"({"data":[{"name":"no id"}]})", jsonError},
        {nested, jsonError},
        {R"({"data":)" + nested + "}", jsonError},
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
        EXPECT_EQ(outcome, expected) << reply.substr(0, 40);
    }
}

// What ends a session, in the order the client sees it, and the line the player reads. Only
// the first cause counts: later ones are its consequences.
TEST(SessionEnd, theFirstCauseSeenIsTheOneTold) {
    struct Case {
        std::vector<State> states;   // the connection's, before the other causes
        std::vector<Reason> others;  // window, signal
        std::string line;            // empty: no line at all
    };
    const std::vector<Case> cases = {
        {{State::Connected, State::Disconnected, State::Closed},
         {},
         "Session ended: the connection was lost, with no packets for 10 s"},
        {{State::Connecting, State::Failed}, {}, "Session ended: the engine failed"},
        {{State::Connected},
         {Reason::WindowClosed, Reason::Signal},
         "Session ended: the window was closed"},
        // A signal also pushes the quit event the closed window would.
        {{State::Connected},
         {Reason::Signal, Reason::WindowClosed},
         "Session ended: interrupted by a signal"},
        {{State::New, State::Connecting, State::Connected}, {}, ""},
    };
    for (const auto& c : cases) {
        SessionEnd end;
        for (State state : c.states) {
            if (auto reason = endReasonFor(state)) {
                end.record(*reason);
            }
        }
        for (Reason other : c.others) {
            end.record(other);
        }
        EXPECT_EQ(end.reason() ? sessionEndedLine(*end.reason()) : "", c.line) << c.line;
    }
}

}  // namespace
