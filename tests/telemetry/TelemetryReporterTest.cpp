#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/TempDir.hpp"
#include "support/WaitFor.hpp"
#include "telemetry/TelemetryReporter.hpp"

namespace {

using nlohmann::json;

// Reporters with a hand-driven clock and a scripted server; each report takes
// reportDurationMs of that clock.
class TelemetryFixture : public ::testing::Test {
  protected:
    std::unique_ptr<TelemetryReporter> makeReporter(EventLog& log) {
        TelemetryTiming timing;
        timing.clockNs = [this] {
            ++clockReads;
            return nowNs;
        };
        auto post = [this](const std::string& path, const json& body) {
            bodies.push_back(body);
            bodies.back()["path"] = path;
            nowNs += reportDurationMs * 1'000'000;
            if (failure) {
                throw std::runtime_error(*failure);
            }
            return reply;
        };
        return std::make_unique<TelemetryReporter>(TelemetryStream{"s-42", 1920, 1080, 0}, post,
                                                   stats, stop, log, timing);
    }

    void cycleAfterTwoSeconds(TelemetryReporter& reporter) {
        nowNs += 2'000'000'000;
        reporter.cycle();
    }

    TempLog logged;
    StreamStats stats;
    std::atomic<bool> stop{false};
    std::int64_t nowNs = 5'000'000'000;
    std::atomic<int> clockReads{0};
    std::int64_t reportDurationMs = 10;
    json reply = json::object();
    std::optional<std::string> failure;
    std::vector<json> bodies;  // with the path they went to
};

TEST_F(TelemetryFixture, reportCarriesTheSixMembersAndTheProposalFollowsTheLastDuration) {
    stats.targetBitrate = 8'000'000;
    auto reporter = makeReporter(logged.log);
    // 2 s with 250,000 bytes is 1,000,000 bit/s; 3 of 60 frames dropped.
    stats.bytesReceived = 250'000;
    stats.framesReceived = 60;
    stats.encodedFramesDropped = 3;
    reportDurationMs = 300;
    cycleAfterTwoSeconds(*reporter);
    // The next interval runs from the previous reading, taken before its report: 2.3 s here.
    stats.bytesReceived = 825'100;
    stats.framesReceived = 160;
    stats.encodedFramesDropped = 4;
    // The first proposal follows an assumed quick report; each later one the duration of the
    // last report that got through (250 ms and more is slow).
    for (std::int64_t duration : {300, 250, 249, 249}) {
        reportDurationMs = duration;
        cycleAfterTwoSeconds(*reporter);
    }
    failure = "HTTP 503";
    reportDurationMs = 300;  // the failed report's duration does not count
    cycleAfterTwoSeconds(*reporter);
    failure.reset();
    cycleAfterTwoSeconds(*reporter);

    EXPECT_EQ(bodies[0].dump(),
              R"({"availableBitrate":10000000,"droppedFrames":0.0,"packetLoss":0.0,)"
              R"("path":"/game-sessions/s-42/webrtc/telemetry","rttMs":0.0,"viewportHeight":1080,)"
              R"("viewportWidth":1920})");
    std::vector<std::uint64_t> proposals;
    for (const json& body : bodies) {
        proposals.push_back(body.at("availableBitrate").get<std::uint64_t>());
    }
    EXPECT_EQ(proposals, (std::vector<std::uint64_t>{10'000'000, 7'200'000, 7'200'000, 7'200'000,
                                                     10'000'000, 10'000'000, 10'000'000}));
    const auto lines = logged.lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "target=8000kbps received=1000kbps rtt=300ms local_drop=0.050000");
    EXPECT_EQ(lines[1], "target=8000kbps received=2000kbps rtt=300ms local_drop=0.010000");
    EXPECT_EQ(lines[5], "telemetry_error=HTTP 503");
    // Figures beyond every integer are clamped, never converted out of range.
    EXPECT_EQ(telemetryStatisticsLine(999, 1e30, 1e12, 1.0 / 3.0),
              "target=0kbps received=18446744073709551615kbps rtt=2147483647ms "
              "local_drop=0.333333");
}

TEST(BitrateProposal, risesByAQuarterFallsByATenthAndStaysBetweenFourAndAHundredMegabits) {
    // Target, duration of the last report, proposal.
    const std::tuple<std::uint64_t, double, std::uint64_t> cases[] = {
        {4'200'000, 400.0, 4'000'000},       {1'000, 250.0, 4'000'000},
        {9'000'001, 10.0, 11'250'001},       {80'000'000, 10.0, 100'000'000},
        {5'000'000'000, 400.0, 100'000'000}, {UINT64_MAX, 10.0, 100'000'000},
    };
    for (const auto& [target, lastReportMs, expected] : cases) {
        EXPECT_EQ(proposeBitrate(target, lastReportMs), expected)
            << target << " after " << lastReportMs << " ms";
    }
}

TEST_F(TelemetryFixture, replyBitrateBecomesTheTargetOnlyWhenItIsAUsableNumber) {
    struct Case {
        json reply;
        std::uint64_t target;  // after the cycle, from 12 Mbit/s
        std::string logLine;   // start of the line the cycle logs
    };
    const std::vector<Case> cases = {
        {{{"bitrate", 9'000'000}}, 9'000'000, "target=9000kbps "},
        {{{"bitrate", 7'654'321.99}}, 7'654'321, "target=7654kbps "},
        {{{"bitrate", 18'000'000'000'000'000'000u}}, 18'000'000'000'000'000'000u, "target="},
        {json::object(), 12'000'000, "target=12000kbps "},
        {{{"bitrate", "9000000"}},
         12'000'000,
         "telemetry_error=bitrate must be a number, but is string"},
        {{{"bitrate", -5}}, 12'000'000, "telemetry_error=bitrate out of range: -5"},
        {{{"bitrate", 1e30}}, 12'000'000, "telemetry_error="},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply.dump());
        stats.targetBitrate = 12'000'000;
        reply = c.reply;
        TempLog caseLog;
        cycleAfterTwoSeconds(*makeReporter(caseLog.log));
        EXPECT_EQ(stats.targetBitrate.load(), c.target);
        const auto lines = caseLog.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind(c.logLine, 0), 0u) << lines[0];
    }
}

// The fixture's clock stands still: only the stop can end the wait.
TEST_F(TelemetryFixture, stopEndsAWaitThatWouldNeverEnd) {
    auto reporter = makeReporter(logged.log);
    std::atomic<bool> finished{false};
    std::thread thread([&] {
        reporter->run();
        finished = true;
    });
    waitFor([&] { return clockReads.load() > 2; });  // in the wait
    stop = true;
    // A thread still waiting is left joinable: the test ends in std::terminate, not never.
    ASSERT_TRUE(waitFor([&] { return finished.load(); }, std::chrono::seconds(10)));
    thread.join();
    EXPECT_TRUE(bodies.empty());
}

}  // namespace
