#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "diagnostics/NetworkTest.hpp"

namespace {

using nlohmann::json;

const json linuxOnly = {{"linux", {{"cores", 8}, {"cpuLoadPercent", 12.5}}}};

const std::string clientSection =
    "Клиент ↔ сайт\nPing: 37 ms\nDownload: 93.400000 Mbps\nUpload: 0.000000 Mbps";

TEST(NetworkTestText, clientFiguresAreCutNotRounded) {
    const NetworkFigures figures{37.9, 93.47, 0.09};
    EXPECT_EQ(networkTestText(figures, linuxOnly),
              clientSection + "\n\nLinux server\nCPU: 12.500000%\nЯдер: 8");
    EXPECT_EQ(networkTestText({0.2, 99.99, 1234.56}, linuxOnly).substr(0, 86),
              "Клиент ↔ сайт\nPing: 0 ms\nDownload: 99.900000 Mbps\nUpload: 1234.500000 Mbps");
}

TEST(NetworkTestText, gameServerSectionFollowsTheStatus) {
    const NetworkFigures figures{37.9, 93.47, 0.09};
    const std::string linuxSection = "\n\nLinux server\nCPU: 12.500000%\nЯдер: 8";

    json status = linuxOnly;
    status["gameServerNetwork"] = nullptr;
    EXPECT_EQ(networkTestText(figures, status), clientSection + linuxSection);

    status["gameServerNetwork"] = {{"error", "timeout"}, {"latencyMs", 5}};
    EXPECT_EQ(networkTestText(figures, status),
              clientSection + "\n\nСайт ↔ PC123\nНедоступно" + linuxSection);

    // Server rates are shown as they come, without the cut to a tenth.
    status["gameServerNetwork"] = {{"latencyMs", 14}, {"downloadMbps", 512.345}, {"uploadMbps", 3}};
    EXPECT_EQ(networkTestText(figures, status),
              clientSection +
                  "\n\nСайт ↔ PC123\nPing: 14 ms\nDownload: 512.345000 Mbps\nUpload: "
                  "3.000000 Mbps" +
                  linuxSection);

    status["gameServerNetwork"] = {{"downloadMbps", 1.5}};
    EXPECT_EQ(networkTestText(figures, status),
              clientSection +
                  "\n\nСайт ↔ PC123\nPing: 0 ms\nDownload: 1.500000 Mbps\nUpload: 0.000000 Mbps" +
                  linuxSection);

    // Missing Linux figures read as zero.
    EXPECT_EQ(networkTestText(figures, json{{"linux", json::object()}}),
              clientSection + "\n\nLinux server\nCPU: 0.000000%\nЯдер: 0");
}

TEST(NetworkTestText, unreadableStatusThrowsInsteadOfAPartialResult) {
    const NetworkFigures figures{1, 2, 3};
    const std::vector<json> unreadable = {
        json::object(),
        json{{"gameServerNetwork", nullptr}},
        json{{"linux", nullptr}},
        json{{"linux", "up"}},
        json{{"linux", {{"cores", "eight"}}}},
        json{{"linux", {{"cpuLoadPercent", "high"}}}},
        json{{"linux", {{"cores", 8}}}, {"gameServerNetwork", {{"latencyMs", "5"}}}},
        json{{"linux", {{"cores", 8}}}, {"gameServerNetwork", "down"}},
        json::array(),
    };
    for (const auto& status : unreadable) {
        EXPECT_ANY_THROW(networkTestText(figures, status)) << status.dump();
    }
}

TEST(NetworkTestText, deeplyNestedStatusThrowsWithoutExhaustingTheStack) {
    // Copying such a value recurses once per level and overflows the stack.
    constexpr std::size_t depth = 500'000;
    const json status =
        json::parse(R"({"linux":)" + std::string(depth, '[') + std::string(depth, ']') + "}");
    EXPECT_ANY_THROW(networkTestText(NetworkFigures{}, status));
}

TEST(ValidUtf8, keepsWellFormedTextAndReplacesEachBadSequence) {
    EXPECT_EQ(toValidUtf8("HTTP 502: Шлюз ↔ ok"), "HTTP 502: Шлюз ↔ ok");
    const std::string bad =
        "a\xFF"
        "b\xC3"
        "c\xE2\x86"
        "d\xC0\xAF"
        "e\xED\xA0\x80"
        "f\xF4\x90\x80\x80"
        "g";
    EXPECT_EQ(toValidUtf8(bad),
              "a\uFFFDb\uFFFDc\uFFFDd\uFFFD\uFFFDe\uFFFD\uFFFD\uFFFDf\uFFFD\uFFFD\uFFFD\uFFFDg");
    EXPECT_EQ(toValidUtf8(std::string("x\0y", 3)), "x\uFFFDy");
    EXPECT_EQ(toValidUtf8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(toValidUtf8("\xF0\x9F\x98"), "\uFFFD");
}

// A scripted service and clock: each request takes a fixed time.
class NetworkTestRun : public ::testing::Test {
  protected:
    NetworkTestIo io() {
        NetworkTestIo io;
        io.get = [this](const std::string& path) { return answer(path, json()); };
        io.post = [this](const std::string& path, const json& body) { return answer(path, body); };
        io.setWindowTitle = [this](const std::string& title) { titles.push_back(title); };
        io.showMessageBox = [this](const std::string& title, const std::string& text,
                                   MessageIcon icon) {
            boxes.push_back({title, text, icon});
        };
        io.clockNs = [this] { return nowNs; };
        return io;
    }

    json answer(const std::string& path, const json& body) {
        requests.push_back(path);
        bodies.push_back(body);
        if (requests.size() == failAt) {
            throw std::runtime_error(failure);
        }
        if (path == "/diagnostics/ping") {
            nowNs += 20'000'000;
        } else if (path == "/diagnostics/chunk?size=262144") {
            nowNs += 125'000'000;  // 8 chunks in 1 s
        } else if (path == "/diagnostics/upload") {
            nowNs += 31'250'000;  // 16 uploads in 0.5 s
        }
        return path == "/diagnostics/status" ? status : json::object();
    }

    struct Box {
        std::string title;
        std::string text;
        MessageIcon icon;
    };

    std::int64_t nowNs = 1'000'000'000;
    json status = linuxOnly;
    std::size_t failAt = 0;
    std::string failure;
    std::vector<std::string> requests;
    std::vector<json> bodies;
    std::vector<std::string> titles;
    std::vector<Box> boxes;
};

TEST_F(NetworkTestRun, sendsThirtyRequestsInOrderAndShowsTheFigures) {
    runNetworkTest(io());

    std::vector<std::string> expected(5, "/diagnostics/ping");
    expected.insert(expected.end(), 8, "/diagnostics/chunk?size=262144");
    expected.insert(expected.end(), 16, "/diagnostics/upload");
    expected.push_back("/diagnostics/status");
    EXPECT_EQ(requests, expected);
    for (std::size_t i = 13; i < 29; ++i) {
        ASSERT_EQ(bodies[i].size(), 1u);
        EXPECT_EQ(bodies[i].at("payload"), std::string(61'440, 'x'));
    }
    EXPECT_EQ(titles, std::vector<std::string>{"Quorvanta | network test..."});

    // 16,777,216 bits in 1 s and 7,864,320 bits in 0.5 s.
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Диагностика Quorvanta");
    EXPECT_EQ(boxes[0].icon, MessageIcon::Information);
    EXPECT_EQ(boxes[0].text,
              "Клиент ↔ сайт\nPing: 20 ms\nDownload: 16.700000 Mbps\nUpload: 15.700000 "
              "Mbps\n\nLinux server\nCPU: 12.500000%\nЯдер: 8");
}

TEST_F(NetworkTestRun, failingRequestStopsTheTestAndShowsTheError) {
    failAt = 8;  // the third chunk
    failure = "HTTP 503: service unavailable";
    runNetworkTest(io());
    EXPECT_EQ(requests.size(), 8u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Ошибка диагностики");
    EXPECT_EQ(boxes[0].text, "HTTP 503: service unavailable");
    EXPECT_EQ(boxes[0].icon, MessageIcon::Error);

    // A server text with broken bytes still reaches the box as valid text.
    requests.clear();
    boxes.clear();
    failAt = 30;
    failure = "HTTP 500: \xD0\x9E\xD1 broken";
    runNetworkTest(io());
    EXPECT_EQ(requests.size(), 30u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "HTTP 500: О\uFFFD broken");
}

TEST_F(NetworkTestRun, requestCutShortByTheStopShowsNoBoxToWaitFor) {
    failAt = 2;
    failure = "GET /diagnostics/ping HTTP 0: ";
    NetworkTestIo stopping = io();
    stopping.stopRequested = [] { return true; };
    runNetworkTest(stopping);
    EXPECT_EQ(requests.size(), 2u);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(NetworkTestRun, statusWithoutLinuxShowsTheErrorBoxOnly) {
    status = {{"gameServerNetwork", {{"latencyMs", 3}}}};
    runNetworkTest(io());
    EXPECT_EQ(requests.size(), 30u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Ошибка диагностики");
    EXPECT_EQ(boxes[0].icon, MessageIcon::Error);
    EXPECT_NE(boxes[0].text.find("linux"), std::string::npos) << boxes[0].text;
}

}  // namespace
