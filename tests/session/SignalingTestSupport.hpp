#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/EventLog.hpp"
#include "session/SignalingTransport.hpp"

namespace signaling_test {

// Polls until the condition holds or the deadline passes; returns the last result.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    auto until = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// An EventLog on a fresh file of its own, readable back line by line.
class TempLog {
  public:
    TempLog()
        : path(std::filesystem::path(testing::TempDir()) /
               ("signaling-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
                std::to_string(counter().fetch_add(1)) + ".log")),
          log(path) {}
    ~TempLog() { std::filesystem::remove(path); }

    std::vector<std::string> lines() const {
        std::ifstream in(path);
        std::vector<std::string> result;
        for (std::string line; std::getline(in, line);) {
            result.push_back(line);
        }
        return result;
    }

    const std::filesystem::path path;
    EventLog log;

  private:
    static std::atomic<int>& counter() {
        static std::atomic<int> value{0};
        return value;
    }
};

struct Request {
    std::string path;
    nlohmann::json body;  // null for a GET
};

// The service as signaling sees it: records every request; `onPost` and `onGet` decide the
// reply or throw the failure an HTTP client would.
class FakeService {
  public:
    std::function<nlohmann::json(const Request&)> onPost = [](const Request&) {
        return nlohmann::json::object();
    };
    std::function<nlohmann::json(const Request&)> onGet = [](const Request&) {
        return nlohmann::json{{"events", nlohmann::json::array()}};
    };

    SignalingTransport transport() {
        return SignalingTransport{[this](const std::string& path) {
                                      return handle(Request{path, nullptr}, onGet);
                                  },
                                  [this](const std::string& path, const nlohmann::json& body) {
                                      return handle(Request{path, body}, onPost);
                                  }};
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex);
        return recorded;
    }
    std::vector<nlohmann::json> postedBodies() const {
        std::vector<nlohmann::json> bodies;
        for (const auto& request : requests()) {
            if (!request.body.is_null()) {
                bodies.push_back(request.body);
            }
        }
        return bodies;
    }

  private:
    nlohmann::json handle(Request request,
                          const std::function<nlohmann::json(const Request&)>& reply) {
        {
            std::lock_guard lock(mutex);
            recorded.push_back(request);
        }
        return reply(request);
    }

    mutable std::mutex mutex;
    std::vector<Request> recorded;
};

inline std::runtime_error httpFailure(const std::string& method, const std::string& path,
                                      int status) {
    return std::runtime_error(method + " " + path + " HTTP " + std::to_string(status) + ": failed");
}

}  // namespace signaling_test
