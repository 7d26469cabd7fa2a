#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "base/EventLog.hpp"
#include "base/StreamStats.hpp"

struct TelemetryStream {
    std::string sessionId;
    std::int32_t width = 0;
    std::int32_t height = 0;
    // The saved bitrate in Mbit/s; anything but 0 is a fixed bitrate and disables posting.
    std::int32_t storedBitrateMbps = 0;
};

struct TelemetryTiming {
    // Monotonic clock in nanoseconds.
    static std::int64_t steadyNowNs();

    std::function<std::int64_t()> clockNs = steadyNowNs;
    std::chrono::nanoseconds period = std::chrono::seconds(2);
    // The wait is cut into slices so a stop is seen quickly instead of after a whole period.
    std::chrono::nanoseconds stopCheckSlice = std::chrono::milliseconds(20);
};

// The background loop that reports the link every 2 seconds, proposes a video bitrate and
// adopts the one the server answers with. It always logs one statistics line per cycle; with
// a fixed bitrate it posts nothing.
class TelemetryReporter {
  public:
    // Sends one report: path relative to the API base URL and the JSON body; returns the parsed
    // reply and throws a std::exception on any failure (ApiClient::postJson in the client).
    using Post = std::function<nlohmann::json(const std::string&, const nlohmann::json&)>;

    TelemetryReporter(TelemetryStream stream, Post post, StreamStats& stats,
                      std::atomic<bool>& stopRequested, EventLog& log, TelemetryTiming timing = {});

    // The thread body: cycles until stopRequested is seen, before or after each wait.
    void run();

    // One cycle without its wait: measure, propose, report, log. Exceptions are caught and logged.
    void cycle();

  private:
    void waitForNextCycle();

    TelemetryStream stream;
    Post post;
    StreamStats& stats;
    std::atomic<bool>& stopRequested;
    EventLog& log;
    TelemetryTiming timing;

    std::int64_t previousClockNs;
    std::uint64_t previousBytes = 0;
    std::uint64_t previousFrames = 0;
    std::uint64_t previousDropped = 0;
    double lastReportMs = 30.0;
};

// The highest bitrate ever proposed, in bit/s. Without it a server that echoes each proposal
// drives it up by a quarter every cycle, past any link and past 32-bit fields. 100 Mbit/s is
// about three times the highest fixed choice (35 Mbit/s) and above what a 4K game stream
// needs, and it fits a signed 32-bit field.
inline constexpr std::uint64_t maximumProposal = 100'000'000;

// The bitrate to propose from the current target and the previous report's duration: a quarter
// more after a quick report, a tenth less (not below 4 Mbit/s) after a slow one, never above
// maximumProposal.
std::uint64_t proposeBitrate(std::uint64_t target, double lastReportMs);

// The new target carried by a telemetry reply, if any; throws for a "bitrate" that is not a
// usable number.
std::optional<std::uint64_t> bitrateFromReply(const nlohmann::json& reply);

std::string telemetryStatisticsLine(std::uint64_t target, double receivedBitsPerSecond,
                                    double lastReportMs, double dropRatio);
