#pragma once

// Scripted replies that take precedence over the service's own behaviour, so tests can provoke
// failures: a status and body, a delay, a dropped connection, for a number of requests.

#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

struct ScenarioReply {
    std::chrono::milliseconds delay{0};
    bool dropConnection = false;
    // Absent: after the delay the service answers as it normally would.
    std::optional<int> status;
    std::string body;
    std::string contentType;
};

class Scenario {
  public:
    Scenario() = default;
    // Throws std::runtime_error naming the rule that is malformed.
    explicit Scenario(const nlohmann::json& document);
    static Scenario fromFile(const std::string& path);

    // The reply of the first rule that matches and still has uses left; consumes one use.
    // target is the path with its query as the request line carried it.
    std::optional<ScenarioReply> take(const std::string& method, const std::string& path,
                                      const std::string& target);

  private:
    struct Rule {
        std::string method;  // empty: any method
        std::string path;
        bool prefix = false;
        std::optional<long long> timesLeft;  // absent: forever
        ScenarioReply reply;
    };

    std::mutex mutex;
    std::vector<Rule> rules;
};
