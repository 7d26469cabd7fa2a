#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "telemetry/TelemetryReporter.hpp"

namespace {

using nlohmann::json;

std::vector<std::string> readLines(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// One reporter with a hand-driven clock and a scripted server.
class TelemetryFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        logPath =
            std::filesystem::temp_directory_path() /
            ("telemetry-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log");
        log = std::make_unique<EventLog>(logPath);
    }
    void TearDown() override {
        log.reset();
        std::filesystem::remove(logPath);
    }

    std::unique_ptr<TelemetryReporter> makeReporter(std::int32_t storedMbps = 0) {
        TelemetryTiming timing;
        timing.clockNs = [this] { return nowNs; };
        auto post = [this](const std::string& path, const json& body) {
            paths.push_back(path);
            bodies.push_back(body);
            nowNs += reportDurationMs * 1'000'000;
            if (failure) {
                throw std::runtime_error(*failure);
            }
            return echo ? json{{"bitrate", body.at("availableBitrate")}} : reply;
        };
        return std::make_unique<TelemetryReporter>(TelemetryStream{"s-42", 1920, 1080, storedMbps},
                                                   post, stats, stop, *log, timing);
    }

    // What the main thread would see over one 2-second period.
    void cycleAfterTwoSeconds(TelemetryReporter& reporter) {
        nowNs += 2'000'000'000;
        reporter.cycle();
    }

    // The log's lines once it is closed, so the count of a run of repeated lines is in.
    std::vector<std::string> closedLogLines() {
        log.reset();
        return readLines(logPath);
    }

    std::uint64_t proposal(std::size_t index) const {
        return bodies.at(index).at("availableBitrate").get<std::uint64_t>();
    }

    std::filesystem::path logPath;
    std::unique_ptr<EventLog> log;
    StreamStats stats;
    std::atomic<bool> stop{false};
    std::int64_t nowNs = 5'000'000'000;
    std::int64_t reportDurationMs = 10;
    json reply = json::object();
    bool echo = false;  // the reply's bitrate is the proposal itself
    std::optional<std::string> failure;
    std::vector<std::string> paths;
    std::vector<json> bodies;
};

TEST_F(TelemetryFixture, reportCarriesExactlyTheSixMembersOnTheSessionPath) {
    stats.targetBitrate = 12'000'000;
    auto reporter = makeReporter();
    cycleAfterTwoSeconds(*reporter);

    ASSERT_EQ(paths, std::vector<std::string>{"/game-sessions/s-42/webrtc/telemetry"});
    const json expected = {
        {"availableBitrate", 15'000'000}, {"packetLoss", 0.0},     {"rttMs", 0.0},
        {"droppedFrames", 0.0},           {"viewportWidth", 1920}, {"viewportHeight", 1080}};
    EXPECT_EQ(bodies[0], expected);
    EXPECT_TRUE(bodies[0]["availableBitrate"].is_number_unsigned());
    EXPECT_TRUE(bodies[0]["packetLoss"].is_number_float());
}

TEST_F(TelemetryFixture, proposalFollowsTheCurrentTargetAndThePreviousReportDuration) {
    stats.targetBitrate = 8'000'000;
    auto reporter = makeReporter();

    // The first cycle starts from the assumed 30 ms, so it raises even though its own report
    // is slow; the slow duration lowers the next one.
    reportDurationMs = 300;
    cycleAfterTwoSeconds(*reporter);
    cycleAfterTwoSeconds(*reporter);
    // Exactly 250 ms counts as slow.
    reportDurationMs = 250;
    cycleAfterTwoSeconds(*reporter);
    reportDurationMs = 249;
    cycleAfterTwoSeconds(*reporter);
    cycleAfterTwoSeconds(*reporter);

    // No reply carried a bitrate, so every proposal derives from the unchanged target.
    EXPECT_EQ(proposal(0), 10'000'000u);
    EXPECT_EQ(proposal(1), 7'200'000u);
    EXPECT_EQ(proposal(2), 7'200'000u);
    EXPECT_EQ(proposal(3), 7'200'000u);
    EXPECT_EQ(proposal(4), 10'000'000u);
    EXPECT_EQ(stats.targetBitrate.load(), 8'000'000u);
}

TEST(BitrateProposal, staysBetweenTheFloorAndTheCeiling) {
    struct Case {
        std::uint64_t target;
        double lastReportMs;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {4'000'000, 400.0, 4'000'000},
        {4'200'000, 400.0, 4'000'000},
        {1'000, 250.0, 4'000'000},  // exactly 250 ms is slow
        {4'000'000, 10.0, 5'000'000},
        {9'000'001, 10.0, 11'250'001},
        {80'000'000, 10.0, 100'000'000},
        {100'000'000, 10.0, 100'000'000},
        // A target the server set far above the ceiling is not proposed back to it.
        {5'000'000'000, 400.0, 100'000'000},
        {UINT64_MAX, 10.0, 100'000'000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(proposeBitrate(c.target, c.lastReportMs), c.expected)
            << c.target << " after " << c.lastReportMs << " ms";
    }
}

TEST_F(TelemetryFixture, serverEchoingEveryProposalCannotPushItPastTheCeiling) {
    stats.targetBitrate = 20'000'000;
    echo = true;
    auto reporter = makeReporter();
    for (int i = 0; i < 30; ++i) {  // a minute of cycles
        cycleAfterTwoSeconds(*reporter);
    }
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        EXPECT_LE(proposal(i), maximumProposal) << "cycle " << i;
    }
    EXPECT_EQ(proposal(bodies.size() - 1), maximumProposal);
    EXPECT_EQ(stats.targetBitrate.load(), maximumProposal);
}

TEST_F(TelemetryFixture, serverPinningTheBitrateKeepsTheTargetWhileProposalsFollowDuration) {
    stats.targetBitrate = 20'000'000;
    reply = {{"bitrate", 9'000'000}};
    auto reporter = makeReporter();

    reportDurationMs = 5;
    cycleAfterTwoSeconds(*reporter);  // proposes from the initial target
    cycleAfterTwoSeconds(*reporter);
    reportDurationMs = 400;
    cycleAfterTwoSeconds(*reporter);
    cycleAfterTwoSeconds(*reporter);
    reportDurationMs = 5;
    cycleAfterTwoSeconds(*reporter);
    cycleAfterTwoSeconds(*reporter);

    EXPECT_EQ(proposal(0), 25'000'000u);
    EXPECT_EQ(proposal(1), 11'250'000u);
    EXPECT_EQ(proposal(2), 11'250'000u);
    EXPECT_EQ(proposal(3), 8'100'000u);
    EXPECT_EQ(proposal(4), 8'100'000u);
    EXPECT_EQ(proposal(5), 11'250'000u);
    EXPECT_EQ(stats.targetBitrate.load(), 9'000'000u);
    const std::string quick = "target=9000kbps received=0kbps rtt=5ms local_drop=0.000000";
    const std::string slow = "target=9000kbps received=0kbps rtt=400ms local_drop=0.000000";
    const std::string again = "previous line repeated 1 time";
    EXPECT_EQ(closedLogLines(), (std::vector{quick, again, slow, again, quick, again}));
}

TEST_F(TelemetryFixture, repliesWithoutAUsableBitrateLeaveTheTarget) {
    stats.targetBitrate = 12'000'000;
    auto reporter = makeReporter();
    for (const json& ignored : {json::object(), json{{"bitrate_kbps", 5}}, json::array({1, 2}),
                                json("bitrate"), json(nullptr), json::array()}) {
        reply = ignored;
        cycleAfterTwoSeconds(*reporter);
        EXPECT_EQ(stats.targetBitrate.load(), 12'000'000u) << ignored.dump();
    }
    EXPECT_EQ(closedLogLines(), (std::vector<std::string>{
                                    "target=12000kbps received=0kbps rtt=10ms local_drop=0.000000",
                                    "previous line repeated 5 times"}));
}

TEST_F(TelemetryFixture, badBitrateValuesAreLoggedAsErrorsAndChangeNothing) {
    stats.targetBitrate = 12'000'000;
    auto reporter = makeReporter();
    for (const json& bad : {json("9000000"), json(true), json(-5), json(-1.5), json(1e30),
                            json::object(), json::array()}) {
        reply = {{"bitrate", bad}};
        cycleAfterTwoSeconds(*reporter);
        EXPECT_EQ(stats.targetBitrate.load(), 12'000'000u) << bad.dump();
    }
    const auto lines = readLines(logPath);
    ASSERT_EQ(lines.size(), 7u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.rfind("telemetry_error=", 0), 0u) << line;
    }
    EXPECT_NE(lines[0].find("string"), std::string::npos) << lines[0];
}

TEST_F(TelemetryFixture, floatingBitrateIsTruncatedAndIntegersTakenAsTheyAre) {
    stats.targetBitrate = 12'000'000;
    auto reporter = makeReporter();
    reply = {{"bitrate", 7'654'321.99}};
    cycleAfterTwoSeconds(*reporter);
    EXPECT_EQ(stats.targetBitrate.load(), 7'654'321u);
    reply = {{"bitrate", 18'000'000'000'000'000'000u}};
    cycleAfterTwoSeconds(*reporter);
    EXPECT_EQ(stats.targetBitrate.load(), 18'000'000'000'000'000'000u);
}

TEST_F(TelemetryFixture, failedReportLogsTheMessageAndKeepsThePreviousDuration) {
    stats.targetBitrate = 10'000'000;
    auto reporter = makeReporter();
    reportDurationMs = 300;
    cycleAfterTwoSeconds(*reporter);  // lastReportMs becomes 300

    failure = "HTTP 503 from /game-sessions/s-42/webrtc/telemetry";
    reportDurationMs = 5;
    cycleAfterTwoSeconds(*reporter);  // fails fast, but the 300 ms stays

    failure.reset();
    cycleAfterTwoSeconds(*reporter);

    EXPECT_EQ(proposal(1), 9'000'000u);
    EXPECT_EQ(proposal(2), 9'000'000u);
    const auto lines = readLines(logPath);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "telemetry_error=HTTP 503 from /game-sessions/s-42/webrtc/telemetry");
    EXPECT_EQ(lines[2], "target=10000kbps received=0kbps rtt=5ms local_drop=0.000000");
}

TEST_F(TelemetryFixture, fixedBitratePostsNothingAndLogsAZeroRoundTrip) {
    stats.targetBitrate = 20'000'000;
    auto reporter = makeReporter(20);
    for (int i = 0; i < 3; ++i) {
        cycleAfterTwoSeconds(*reporter);
    }
    EXPECT_TRUE(paths.empty());
    EXPECT_EQ(stats.targetBitrate.load(), 20'000'000u);
    EXPECT_EQ(closedLogLines(), (std::vector<std::string>{
                                    "target=20000kbps received=0kbps rtt=0ms local_drop=0.000000",
                                    "previous line repeated 2 times"}));
}

TEST_F(TelemetryFixture, statisticsLineMeasuresTheIntervalSinceThePreviousCycle) {
    stats.targetBitrate = 8'000'000;
    reply = {{"bitrate", 8'000'999}};
    reportDurationMs = 37;
    auto reporter = makeReporter();

    // 2 s with 250,000 bytes is 1,000,000 bit/s; 3 of 60 frames dropped.
    stats.bytesReceived = 250'000;
    stats.framesReceived = 60;
    stats.encodedFramesDropped = 3;
    cycleAfterTwoSeconds(*reporter);

    // The next interval runs from the previous cycle's reading, taken before its report, and
    // lasts 4 s here; only the increase of each counter counts.
    nowNs += 2'000'000'000 - 37'000'000;
    stats.bytesReceived = 1'250'000;
    stats.framesReceived = 160;
    stats.encodedFramesDropped = 4;
    cycleAfterTwoSeconds(*reporter);

    const auto lines = readLines(logPath);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "target=8000kbps received=1000kbps rtt=37ms local_drop=0.050000");
    EXPECT_EQ(lines[1], "target=8000kbps received=2000kbps rtt=37ms local_drop=0.010000");
}

TEST(TelemetryStatisticsLine, formatsEachFigureAsLogged) {
    EXPECT_EQ(telemetryStatisticsLine(12'345'678, 999.9, 0.4, 0.0),
              "target=12345kbps received=0kbps rtt=0ms local_drop=0.000000");
    EXPECT_EQ(telemetryStatisticsLine(999, 5'432'199.0, 251.99, 1.0 / 3.0),
              "target=0kbps received=5432kbps rtt=251ms local_drop=0.333333");
    EXPECT_EQ(
        telemetryStatisticsLine(0, 1e30, 1e12, 1.0),
        "target=0kbps received=18446744073709551615kbps rtt=2147483647ms local_drop=1.000000");
}

TEST(TelemetryThread, stopsPromptlyDuringTheWaitAndKeepsCycling) {
    const auto logPath = std::filesystem::temp_directory_path() / "telemetry-thread-test.log";
    {
        EventLog log(logPath);
        StreamStats stats;
        stats.targetBitrate = 8'000'000;
        std::atomic<bool> stop{false};
        std::atomic<int> posts{0};
        TelemetryTiming timing;
        timing.period = std::chrono::milliseconds(5);
        TelemetryReporter reporter(
            {"s", 1280, 720, 0},
            [&](const std::string&, const json&) {
                ++posts;
                return json{{"bitrate", 6'000'000}};
            },
            stats, stop, log, timing);
        std::atomic<bool> finished{false};
        std::thread thread([&] {
            reporter.run();
            finished = true;
        });

        const auto waitFor = [](auto condition) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!condition() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            return condition();
        };
        EXPECT_TRUE(waitFor([&] { return posts.load() >= 3; }));
        EXPECT_EQ(stats.targetBitrate.load(), 6'000'000u);
        stop = true;
        EXPECT_TRUE(waitFor([&] { return finished.load(); }));
        thread.join();
    }
    {
        // A whole period of an hour must not hold the stop back.
        EventLog log(logPath);
        StreamStats stats;
        std::atomic<bool> stop{false};
        std::atomic<int> posts{0};
        TelemetryTiming timing;
        timing.period = std::chrono::hours(1);
        TelemetryReporter reporter(
            {"s", 1280, 720, 0},
            [&](const std::string&, const json&) {
                ++posts;
                return json::object();
            },
            stats, stop, log, timing);
        std::atomic<bool> finished{false};
        std::thread thread([&] {
            reporter.run();
            finished = true;
        });
        std::this_thread::yield();
        stop = true;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!finished && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (!finished) {
            ADD_FAILURE() << "the telemetry thread did not see the stop flag during its wait";
            thread.detach();
            std::quick_exit(1);
        }
        thread.join();
        EXPECT_EQ(posts.load(), 0);
    }
    std::filesystem::remove(logPath);
}

}  // namespace
