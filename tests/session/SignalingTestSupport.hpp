#pragma once

#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "base/EventLog.hpp"
#include "session/SignalingTransport.hpp"
#include "support/TempDir.hpp"

namespace signaling_test {

// An EventLog on a fresh file of its own, readable back line by line.
struct TempLog {
    std::vector<std::string> lines() const {
        std::istringstream text(readWholeFile(folder.path() / "client.log"));
        std::vector<std::string> result;
        for (std::string line; std::getline(text, line);) {
            result.push_back(line);
        }
        return result;
    }

    TempDir folder;
    EventLog log{folder.path() / "client.log"};
};

struct Request {
    std::string path;
    nlohmann::json body;  // null for a GET
};

// The service as signaling sees it: records every request; `onPost` and `onGet` decide the
// reply or throw the failure an HTTP client would.
class FakeService {
  public:
    using Reply = std::function<nlohmann::json(const Request&)>;
    Reply onPost = [](const Request&) { return nlohmann::json::object(); };
    Reply onGet = [](const Request&) {
        return nlohmann::json{{"events", nlohmann::json::array()}};
    };

    SignalingTransport transport() {
        return {[this](const std::string& path) {
                    return handle({path, nullptr}, onGet);
                },
                [this](const std::string& path, const nlohmann::json& body) {
                    return handle({path, body}, onPost);
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
    nlohmann::json handle(Request request, const Reply& reply) {
        {
            std::lock_guard lock(mutex);
            recorded.push_back(request);
        }
        return reply(request);
    }

    mutable std::mutex mutex;
    std::vector<Request> recorded;
};

}  // namespace signaling_test
