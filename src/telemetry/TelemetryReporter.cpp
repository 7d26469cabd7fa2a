#include "telemetry/TelemetryReporter.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <thread>

#include "base/TruncateClamped.hpp"

namespace {

constexpr double minimumProposal = 4'000'000.0;
constexpr double slowReportMs = 250.0;

}  // namespace

std::uint64_t proposeBitrate(std::uint64_t target, double lastReportMs) {
    const double current = static_cast<double>(target);
    const double proposal =
        lastReportMs >= slowReportMs ? std::max(current * 0.9, minimumProposal) : current * 1.25;
    return std::min(truncateClamped<std::uint64_t>(proposal), maximumProposal);
}

std::optional<std::uint64_t> bitrateFromReply(const nlohmann::json& reply) {
    if (!reply.is_object()) {
        return std::nullopt;
    }
    const auto member = reply.find("bitrate");
    if (member == reply.end()) {
        return std::nullopt;
    }
    if (member->is_number_unsigned()) {
        return member->get<std::uint64_t>();
    }
    if (member->is_number_integer() || member->is_number_float()) {
        const double value = member->get<double>();
        // A negative or oversized bitrate cannot be a target; refuse it rather than wrap it.
        if (!(value >= 0.0 && value < 18446744073709551616.0)) {
            throw std::runtime_error("bitrate out of range: " + member->dump());
        }
        return static_cast<std::uint64_t>(value);
    }
    throw std::runtime_error(std::string("bitrate must be a number, but is ") +
                             member->type_name());
}

std::string telemetryStatisticsLine(std::uint64_t target, double receivedBitsPerSecond,
                                    double lastReportMs, double dropRatio) {
    char line[160];
    std::snprintf(line, sizeof line, "target=%llukbps received=%llukbps rtt=%dms local_drop=%f",
                  static_cast<unsigned long long>(target / 1000),
                  static_cast<unsigned long long>(
                      truncateClamped<std::uint64_t>(receivedBitsPerSecond / 1000.0)),
                  truncateClamped<std::int32_t>(lastReportMs), dropRatio);
    return line;
}

std::int64_t TelemetryTiming::steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TelemetryReporter::TelemetryReporter(TelemetryStream stream, Post post, StreamStats& stats,
                                     std::atomic<bool>& stopRequested, EventLog& log,
                                     TelemetryTiming timing)
    : stream(std::move(stream)),
      post(std::move(post)),
      stats(stats),
      stopRequested(stopRequested),
      log(log),
      timing(std::move(timing)),
      previousClockNs(this->timing.clockNs()) {}

void TelemetryReporter::run() {
    while (!stopRequested.load()) {
        waitForNextCycle();
        if (stopRequested.load()) {
            return;
        }
        cycle();
    }
}

void TelemetryReporter::waitForNextCycle() {
    const std::int64_t deadline = timing.clockNs() + timing.period.count();
    while (!stopRequested.load()) {
        const std::int64_t remaining = deadline - timing.clockNs();
        if (remaining <= 0) {
            return;
        }
        std::this_thread::sleep_for(
            std::min(std::chrono::nanoseconds(remaining), timing.stopCheckSlice));
    }
}

void TelemetryReporter::cycle() {
    try {
        const std::int64_t now = timing.clockNs();
        const std::uint64_t bytes = stats.bytesReceived.load();
        const std::uint64_t frames = stats.framesReceived.load();
        const std::uint64_t dropped = stats.encodedFramesDropped.load();

        const double elapsedSeconds = static_cast<double>(now - previousClockNs) / 1e9;
        const double received =
            elapsedSeconds > 0.0 ? static_cast<double>(bytes - previousBytes) * 8.0 / elapsedSeconds
                                 : 1'000'000.0;
        const double dropRatio = frames != previousFrames
                                     ? static_cast<double>(dropped - previousDropped) /
                                           static_cast<double>(frames - previousFrames)
                                     : 0.0;
        // A failed cycle still moves the window on, so the next rate covers only its own span.
        previousClockNs = now;
        previousBytes = bytes;
        previousFrames = frames;
        previousDropped = dropped;

        const std::uint64_t proposal = proposeBitrate(stats.targetBitrate.load(), lastReportMs);

        const std::int64_t reportStart = timing.clockNs();
        if (stream.storedBitrateMbps == 0) {
            const nlohmann::json report = {
                {"availableBitrate", proposal},
                {"packetLoss", 0.0},
                {"rttMs", 0.0},
                {"droppedFrames", 0.0},
                {"viewportWidth", stream.width},
                {"viewportHeight", stream.height},
            };
            const nlohmann::json reply =
                post("/game-sessions/" + stream.sessionId + "/webrtc/telemetry", report);
            if (const auto bitrate = bitrateFromReply(reply)) {
                stats.targetBitrate.exchange(*bitrate);
            }
        }
        lastReportMs = static_cast<double>(timing.clockNs() - reportStart) / 1'000'000.0;

        log.write(
            telemetryStatisticsLine(stats.targetBitrate.load(), received, lastReportMs, dropRatio));
    } catch (const std::exception& error) {
        log.write(std::string("telemetry_error=") + error.what());
    }
}
