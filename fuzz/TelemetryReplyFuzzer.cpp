// Telemetry cycles whose reports are answered with the input: the reply may set the target
// the next proposal and statistics line are computed from.

#include <filesystem>

#include "ServerReply.hpp"
#include "telemetry/TelemetryReporter.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static EventLog log(std::filesystem::path("/dev/null"));
    StreamStats stats;
    stats.targetBitrate.store(12'000'000);
    std::atomic<bool> stopRequested{false};
    std::int64_t clock = 0;
    TelemetryTiming timing;
    timing.clockNs = [&] { return clock += 1'000'000'000; };

    TelemetryReporter reporter(
        TelemetryStream{"demo-session", 1920, 1080, 0},
        [&](const std::string&, const nlohmann::json&) { return parseReplyBody(data, size); },
        stats, stopRequested, log, timing);
    reporter.cycle();
    stats.framesReceived.fetch_add(60);
    stats.bytesReceived.fetch_add(3'000'000);
    reporter.cycle();

    std::optional<std::uint64_t> adopted;
    try {
        adopted = bitrateFromReply(parseReplyBody(data, size));
    } catch (const std::exception&) {
    }
    FUZZ_CHECK(stats.targetBitrate.load() == adopted.value_or(12'000'000));
    return 0;
}
