#include "Scenario.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

using nlohmann::json;

std::runtime_error ruleError(std::size_t index, const std::string& what) {
    return std::runtime_error("scenario rule " + std::to_string(index) + ": " + what);
}

}  // namespace

Scenario::Scenario(const json& document) {
    if (!document.is_object() || !document.contains("rules") || !document["rules"].is_array()) {
        throw std::runtime_error("scenario: expected an object with a \"rules\" array");
    }
    std::size_t index = 0;
    for (const json& entry : document["rules"]) {
        if (!entry.is_object()) {
            throw ruleError(index, "not an object");
        }
        Rule rule;
        try {
            rule.method = entry.value("method", std::string());
            rule.path = entry.at("path").get<std::string>();
            rule.prefix = entry.value("prefix", false);
            if (entry.contains("times")) {
                rule.timesLeft = entry["times"].get<long long>();
            }
            rule.reply.delay = std::chrono::milliseconds(entry.value("delayMs", 0));
            rule.reply.dropConnection = entry.value("dropConnection", false);
            if (entry.contains("status")) {
                rule.reply.status = entry["status"].get<int>();
            }
            if (entry.contains("bodyRaw")) {
                rule.reply.body = entry["bodyRaw"].get<std::string>();
                rule.reply.contentType = "text/plain";
            } else if (entry.contains("body")) {
                const json& body = entry["body"];
                // A string is the reply text itself; any other value is sent as JSON.
                rule.reply.body = body.is_string() ? body.get<std::string>() : body.dump();
                rule.reply.contentType = "application/json";
            }
        } catch (const json::exception& e) {
            throw ruleError(index, e.what());
        }
        if (rule.path.empty() || rule.path[0] != '/') {
            throw ruleError(index, "\"path\" must begin with /");
        }
        if (rule.reply.delay.count() < 0 || (rule.timesLeft && *rule.timesLeft < 0)) {
            throw ruleError(index, "\"delayMs\" and \"times\" must not be negative");
        }
        if (!rule.reply.status && !rule.reply.body.empty()) {
            throw ruleError(index, "a body needs a \"status\"");
        }
        rules.push_back(std::move(rule));
        ++index;
    }
}

Scenario Scenario::fromFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read scenario file " + path);
    }
    std::stringstream text;
    text << in.rdbuf();
    json document;
    try {
        document = json::parse(text.str());
    } catch (const json::exception& e) {
        throw std::runtime_error("scenario file " + path + ": " + e.what());
    }
    return Scenario(document);
}

std::optional<ScenarioReply> Scenario::take(const std::string& method, const std::string& path,
                                            const std::string& target) {
    std::lock_guard lock(mutex);
    for (Rule& rule : rules) {
        if (rule.timesLeft && *rule.timesLeft == 0) {
            continue;
        }
        if (!rule.method.empty() && rule.method != method) {
            continue;
        }
        bool matches = rule.prefix ? target.compare(0, rule.path.size(), rule.path) == 0
                                   : rule.path == path || rule.path == target;
        if (!matches) {
            continue;
        }
        if (rule.timesLeft) {
            --*rule.timesLeft;
        }
        return rule.reply;
    }
    return std::nullopt;
}
