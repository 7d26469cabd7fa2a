#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/NetworkTest.hpp"

namespace {

using nlohmann::json;

const std::string client =
    "Клиент ↔ сайт\nPing: 37 ms\nDownload: 93.400000 Mbps\nUpload: 0.000000 Mbps";
const std::string linuxPart = "\n\nLinux server\nCPU: 12.500000%\nЯдер: 8";
const json linuxOnly = {{"linux", {{"cores", 8}, {"cpuLoadPercent", 12.5}}}};

// Client rates are cut to a tenth, not rounded; the server's are shown as they come.
TEST(NetworkTestText, sectionsFollowTheFiguresAndTheStatus) {
    const std::vector<std::pair<json, std::string>> cases = {
        {nullptr, client + linuxPart},
        {{{"error", "timeout"}, {"latencyMs", 5}},
         client + "\n\nСайт ↔ PC123\nНедоступно" + linuxPart},
        {{{"latencyMs", 14}, {"downloadMbps", 512.345}, {"uploadMbps", 3}},
         client +
             "\n\nСайт ↔ PC123\nPing: 14 ms\nDownload: 512.345000 Mbps\nUpload: 3.000000 Mbps" +
             linuxPart},
    };
    for (const auto& [gameServer, text] : cases) {
        json status = linuxOnly;
        status["gameServerNetwork"] = gameServer;
        EXPECT_EQ(networkTestText({37.9, 93.47, 0.09}, status), text) << gameServer.dump();
    }
}

// A scripted service and clock: pings take 20 ms, the 8 chunks 1 s, the 16 uploads 0.5 s.
// failAt counts requests from 1; failure is what that request throws.
struct ScriptedRun {
    explicit ScriptedRun(std::size_t failAt = 0, std::string failure = "") {
        NetworkTestIo io;
        auto answer = [=, this](const std::string& path, const json& body) {
            requests.push_back(path + (body.is_null() ? "" : " " + body.dump().substr(0, 20)));
            if (requests.size() == failAt) {
                throw std::runtime_error(failure);
            }
            nowNs += path == "/diagnostics/ping"     ? 20'000'000
                     : path == "/diagnostics/upload" ? 31'250'000
                                                     : 125'000'000;
            return path == "/diagnostics/status" ? linuxOnly : json::object();
        };
        io.get = [=](const std::string& path) { return answer(path, json()); };
        io.post = answer;
        io.setWindowTitle = [this](const std::string& title) { boxes.push_back(title); };
        io.showMessageBox = [this](const std::string& title, const std::string& text,
                                   MessageIcon icon) {
            boxes.push_back(title + (icon == MessageIcon::Error ? " (error): " : ": ") + text);
        };
        io.clockNs = [this] { return nowNs; };
        io.stopRequested = [] { return false; };
        runNetworkTest(io);
    }
    std::int64_t nowNs = 1'000'000'000;
    std::vector<std::string> requests;
    std::vector<std::string> boxes;  // the window title too
};

TEST(NetworkTestRun, thirtyRequestsInOrderGiveTheFiguresOrTheFirstError) {
    ScriptedRun run;
    std::vector<std::string> expected(5, "/diagnostics/ping");
    expected.insert(expected.end(), 8, "/diagnostics/chunk?size=262144");
    expected.insert(expected.end(), 16, R"(/diagnostics/upload {"payload":"xxxxxxxx)");
    expected.push_back("/diagnostics/status");
    EXPECT_EQ(run.requests, expected);
    // 16,777,216 bits in 1 s and 16 x 61,440 payload bytes in 0.5 s.
    EXPECT_EQ(run.boxes, (std::vector<std::string>{
                             "Quorvanta | network test...",
                             "Диагностика Quorvanta: Клиент ↔ сайт\nPing: 20 ms\nDownload: "
                             "16.700000 Mbps\nUpload: 15.700000 Mbps" +
                                 linuxPart}));

    ScriptedRun failed(8, "HTTP 500: \xD0\x9E\xD1 broken");
    EXPECT_EQ(failed.requests.size(), 8u);
    EXPECT_EQ(failed.boxes.back(), "Ошибка диагностики (error): HTTP 500: О\uFFFD broken");
}

}  // namespace
