#include "diagnostics/NetworkTest.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <vector>

#include "base/SafeText.hpp"
#include "base/TruncateClamped.hpp"

namespace {

constexpr const char* testTitle = "Quorvanta | network test...";
constexpr const char* resultTitle = "Диагностика Quorvanta";
constexpr const char* errorTitle = "Ошибка диагностики";

constexpr const char* pingPath = "/diagnostics/ping";
constexpr const char* chunkPath = "/diagnostics/chunk?size=262144";
constexpr const char* uploadPath = "/diagnostics/upload";
constexpr const char* statusPath = "/diagnostics/status";

constexpr int pingCount = 5;
constexpr int chunkCount = 8;
constexpr int uploadCount = 16;
constexpr double chunkBits = 8.0 * 262'144 * 8;  // requested sizes, not bytes received
constexpr std::size_t payloadLength = 61'440;

// "%f": fixed notation, six digits after the point.
std::string fixed(double value) {
    const int length = std::snprintf(nullptr, 0, "%f", value);
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    std::snprintf(text.data(), text.size(), "%f", value);
    return text.data();
}

// A client rate cut, not rounded, to a tenth.
std::string tenths(double mbps) {
    return fixed(truncateClamped<std::int32_t>(mbps * 10.0) / 10.0);
}

double numberMember(const nlohmann::json& object, const char* key) {
    return object.value(key, 0.0);
}

// An integer member shown in decimal; a floating-point value is truncated.
std::int64_t integerMember(const nlohmann::json& object, const char* key) {
    if (object.is_object() && object.contains(key) && object.at(key).is_number_float()) {
        return truncateClamped<std::int64_t>(object.at(key).get<double>());
    }
    return object.value(key, std::int64_t{0});
}

double secondsBetween(std::int64_t start, std::int64_t end) {
    return static_cast<double>(end - start) / 1e9;
}

}  // namespace

std::string networkTestText(const NetworkFigures& figures, const nlohmann::json& status) {
    // A reference: copying a deeply nested value would exhaust the stack.
    const nlohmann::json& linuxServer = status.at("linux");

    std::string text =
        "Клиент ↔ сайт\nPing: " + std::to_string(truncateClamped<std::int32_t>(figures.pingMs)) +
        " ms\nDownload: " + tenths(figures.downloadMbps) +
        " Mbps\nUpload: " + tenths(figures.uploadMbps) + " Mbps";

    if (status.contains("gameServerNetwork") && !status.at("gameServerNetwork").is_null()) {
        const nlohmann::json& server = status.at("gameServerNetwork");
        text += "\n\nСайт ↔ PC123";
        if (server.contains("error")) {
            text += "\nНедоступно";
        } else {
            text += "\nPing: " + std::to_string(integerMember(server, "latencyMs")) +
                    " ms\nDownload: " + fixed(numberMember(server, "downloadMbps")) +
                    " Mbps\nUpload: " + fixed(numberMember(server, "uploadMbps")) + " Mbps";
        }
    }

    text += "\n\nLinux server\nCPU: " + fixed(numberMember(linuxServer, "cpuLoadPercent")) +
            "%\nЯдер: " + std::to_string(integerMember(linuxServer, "cores"));
    return text;
}

void runNetworkTest(const NetworkTestIo& io) {
    std::string text;
    try {
        io.setWindowTitle(testTitle);
        NetworkFigures figures;

        const std::int64_t t0 = io.clockNs();
        for (int i = 0; i < pingCount; ++i) {
            io.get(pingPath);
        }
        const std::int64_t t1 = io.clockNs();
        figures.pingMs = static_cast<double>(t1 - t0) / 1'000'000.0 / pingCount;

        const std::int64_t t2 = io.clockNs();
        for (int i = 0; i < chunkCount; ++i) {
            io.get(chunkPath);
        }
        const std::int64_t t3 = io.clockNs();
        figures.downloadMbps = chunkBits / secondsBetween(t2, t3) / 1'000'000.0;

        const std::string payload(payloadLength, 'x');
        const std::int64_t t4 = io.clockNs();
        for (int i = 0; i < uploadCount; ++i) {
            io.post(uploadPath, nlohmann::json{{"payload", payload}});
        }
        const std::int64_t t5 = io.clockNs();
        figures.uploadMbps = static_cast<double>(payloadLength) * uploadCount * 8.0 /
                             secondsBetween(t4, t5) / 1'000'000.0;

        text = networkTestText(figures, io.get(statusPath));
    } catch (const std::exception& error) {
        if (io.stopRequested && io.stopRequested()) {
            return;
        }
        io.showMessageBox(errorTitle, toValidUtf8(error.what()), MessageIcon::Error);
        return;
    }
    io.showMessageBox(resultTitle, text, MessageIcon::Information);
}
