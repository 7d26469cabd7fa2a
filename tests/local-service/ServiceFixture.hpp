#pragma once

// Runs a LocalService in-process on a free loopback port, with a scratch folder for its
// record and scenario files.

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "LocalService.hpp"

inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class ServiceFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch = std::filesystem::temp_directory_path() /
                  ("qv-service-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(scratch);
        std::filesystem::create_directories(scratch);
        options.sessionId = "s-1";
    }

    void TearDown() override {
        service.reset();
        std::filesystem::remove_all(scratch);
    }

    void start(PeerFactory factory = {}) {
        service = std::make_unique<LocalService>(options, std::move(factory));
        port = service->start(0);
        client = std::make_unique<httplib::Client>("127.0.0.1", port);
        client->set_read_timeout(10, 0);
    }

    std::string writeScenario(const nlohmann::json& scenario) {
        auto path = scratch / "scenario.json";
        std::ofstream(path) << scenario.dump();
        options.scenarioFile = path.string();
        return options.scenarioFile;
    }

    std::string login() {
        auto reply =
            client->Post("/auth/login", R"({"email":"demo@quorvanta.local","password":"demo"})",
                         "application/json");
        EXPECT_TRUE(reply);
        EXPECT_EQ(reply->status, 200);
        return nlohmann::json::parse(reply->body).at("access_token").get<std::string>();
    }

    httplib::Headers bearer(const std::string& token) {
        return {{"Authorization", "Bearer " + token}};
    }

    // GET or POST with the token; the parsed body, or null when it is not JSON.
    httplib::Result get(const std::string& path, const std::string& token) {
        return client->Get(path.c_str(), bearer(token));
    }
    httplib::Result post(const std::string& path, const std::string& token,
                         const nlohmann::json& body) {
        return client->Post(path.c_str(), bearer(token), body.dump(), "application/json");
    }

    std::vector<nlohmann::json> recordLines() {
        std::vector<nlohmann::json> lines;
        std::ifstream in(options.recordFile);
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(nlohmann::json::parse(line));
        }
        return lines;
    }

    std::filesystem::path scratch;
    ServiceOptions options;
    std::unique_ptr<LocalService> service;
    std::unique_ptr<httplib::Client> client;
    int port = 0;
};
