#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "CpuLoadSampler.hpp"
#include "LoopbackCandidates.hpp"
#include "ServiceOptions.hpp"
#include "VideoFileProfile.hpp"

namespace {

TEST(ServiceOptionsTest, defaultsServeTheDemoAccountOnPort8080) {
    ServiceOptions options = parseServiceOptions({});
    EXPECT_EQ(options.port, 8080);
    EXPECT_EQ(options.email, "demo@quorvanta.local");
    EXPECT_EQ(options.password, "demo");
    EXPECT_FALSE(options.sessionId.empty());
    EXPECT_EQ(options.sessionSeconds, 0);
    EXPECT_FALSE(options.help);
}

TEST(ServiceOptionsTest, everyOptionIsTakenAndBadValuesAreRefused) {
    ServiceOptions options = parseServiceOptions({"--port",
                                                  "0",
                                                  "--email",
                                                  "a@b",
                                                  "--password",
                                                  "pw",
                                                  "--session-id",
                                                  "game-7",
                                                  "--record",
                                                  "/tmp/r",
                                                  "--scenario",
                                                  "/tmp/s",
                                                  "--session-seconds",
                                                  "3",
                                                  "--video",
                                                  "/tmp/v.h264",
                                                  "--loss",
                                                  "2.5",
                                                  "--seed",
                                                  "7",
                                                  "--jitter",
                                                  "20",
                                                  "--help",
                                                  "--version"});
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(options.email, "a@b");
    EXPECT_EQ(options.password, "pw");
    EXPECT_EQ(options.sessionId, "game-7");
    EXPECT_EQ(options.recordFile, "/tmp/r");
    EXPECT_EQ(options.scenarioFile, "/tmp/s");
    EXPECT_EQ(options.sessionSeconds, 3);
    EXPECT_EQ(options.videoFile, "/tmp/v.h264");
    EXPECT_DOUBLE_EQ(options.impairment.lossPercent, 2.5);
    EXPECT_EQ(options.impairment.seed, 7u);
    EXPECT_EQ(options.impairment.jitterMs, 20);
    EXPECT_TRUE(options.help);
    EXPECT_TRUE(options.version);

    const std::vector<std::vector<std::string>> refused = {
        {"--port"},
        {"--port", "80x"},
        {"--port", "65536"},
        {"--port", "-1"},
        {"--session-seconds", ""},
        {"--session-id", "a/b"},
        {"--session-id", ""},
        {"--loss", "101"},
        {"--loss", "5%"},
        {"--jitter", "-1"},
        {"--colour", "red"},
        {"stray"},
        {"--port", "1", "--colour"},  // unknown, not "needs a value", however late it stands
    };
    for (const auto& args : refused) {
        EXPECT_THROW(parseServiceOptions(args), std::invalid_argument) << args[0];
    }
}

// A browser answers an offer of High with no video; Baseline and Main it takes.
TEST(VideoFileProfileTest, onlyProfilesABrowserReceivesPassWithoutWarning) {
    const std::vector<std::pair<std::vector<unsigned char>, bool>> cases = {
        {{0, 0, 0, 1, 0x67, 0x64, 0x00, 0x2a, 0xac}, true},                     // High 4.2
        {{0, 0, 0, 1, 0x67, 0x4d, 0x00, 0x28, 0xac}, false},                    // Main 4.0
        {{0, 0, 1, 0x09, 0xf0, 0, 0, 1, 0x67, 0x42, 0xe0, 0x1f, 0xac}, false},  // after an AUD
        {{0, 0, 0, 1, 0x40, 0x01, 0x0c, 0x01, 0xff}, false},                    // HEVC: not judged
    };
    const std::string path = testing::TempDir() + "/profile.h264";
    for (const auto& [bytes, warned] : cases) {
        {
            std::ofstream file(path, std::ios::binary);
            file.write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
        }
        EXPECT_EQ(browserProfileWarning(path).has_value(), warned) << int(bytes[5]);
    }
    std::remove(path.c_str());
}

TEST(LoopbackCandidatesTest, onlyLoopbackAddressesPass) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"candidate:1 1 UDP 2015363327 127.0.0.1 50213 typ host", true},
        {"candidate:1 1 udp 2015363327 127.255.0.3 50213 typ host", true},
        {"1 1 UDP 2015363327 ::1 50213 typ host", true},
        {"candidate:1 1 TCP 1 127.0.0.1 9 typ host tcptype active", true},
        {"candidate:1 1 UDP 2015363327 10.1.2.3 50213 typ host", false},
        {"candidate:1 1 UDP 2015363327 1127.0.0.1 50213 typ host", false},
        {"candidate:1 1 UDP 2015363327 ::2 50213 typ host", false},
        {"candidate:1 1 UDP 2015363327 fe80::1 50213 typ host", false},
        {"candidate:1 1 UDP 1 5d0c7e44-3b1f.local 50213 typ host", false},
        {"", false},
        {"candidate:1 1 UDP", false},
    };
    for (const auto& [candidate, loopback] : cases) {
        EXPECT_EQ(isLoopbackCandidate(candidate), loopback) << candidate;
    }
}

TEST(LoopbackCandidatesTest, foreignCandidateLinesLeaveTheSdpAndTheRestStays) {
    EXPECT_EQ(withoutForeignCandidates("v=0\r\n"
                                       "a=candidate:1 1 UDP 1 192.168.0.2 1 typ host\r\n"
                                       "m=video 9 UDP/TLS/RTP/SAVPF 96\r\n"
                                       "a=candidate:2 1 UDP 1 127.0.0.1 2 typ host\r\n"
                                       "a=end-of-candidates\r\n"
                                       "a=candidate:3 1 UDP 1 10.0.0.1 3 typ host"),
              "v=0\r\n"
              "m=video 9 UDP/TLS/RTP/SAVPF 96\r\n"
              "a=candidate:2 1 UDP 1 127.0.0.1 2 typ host\r\n"
              "a=end-of-candidates\r\n");
    EXPECT_EQ(withoutForeignCandidates("v=0\na=mid:0\n"), "v=0\na=mid:0\n");
}

TEST(CpuLoadTest, aggregateLineGivesBusyAndTotalTimes) {
    auto times =
        parseCpuTimes("cpu  100 20 30 800 50 0 10 5 7 0\ncpu0 1 2 3 4 5 6 7 8\nintr 1 2\n");
    ASSERT_TRUE(times);
    // guest time (7) is already inside user time and must not count twice.
    EXPECT_EQ(times->total, 100u + 20 + 30 + 800 + 50 + 0 + 10 + 5);
    EXPECT_EQ(times->busy, times->total - 850);

    auto old = parseCpuTimes("cpu 10 0 10 80\n");
    ASSERT_TRUE(old);
    EXPECT_EQ(old->total, 100u);
    EXPECT_EQ(old->busy, 20u);

    EXPECT_FALSE(parseCpuTimes("cpu0 1 2 3 4\n"));
    EXPECT_FALSE(parseCpuTimes("cpu 1 2\n"));
    EXPECT_FALSE(parseCpuTimes(""));
}

TEST(CpuLoadTest, loadBetweenReadingsStaysWithinZeroAndHundred) {
    EXPECT_DOUBLE_EQ(cpuLoadBetween({100, 1000}, {150, 1100}), 50.0);
    EXPECT_DOUBLE_EQ(cpuLoadBetween({100, 1000}, {100, 1100}), 0.0);
    EXPECT_DOUBLE_EQ(cpuLoadBetween({100, 1000}, {200, 1100}), 100.0);
    EXPECT_DOUBLE_EQ(cpuLoadBetween({100, 1000}, {100, 1000}), 0.0);
    // Counters that went backwards (a wrapped or reset reading) give no figure, not garbage.
    EXPECT_DOUBLE_EQ(cpuLoadBetween({100, 1000}, {50, 900}), 0.0);
    EXPECT_DOUBLE_EQ(cpuLoadBetween({100, 1000}, {90, 1100}), 0.0);
}

}  // namespace
