#include "ServiceOptions.hpp"

#include <charconv>
#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>

namespace {

int parseInt(const std::string& name, const std::string& text, int min, int max) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < min || value > max) {
        throw std::invalid_argument(name + " needs a whole number from " + std::to_string(min) +
                                    " to " + std::to_string(max) + ", not '" + text + "'");
    }
    return value;
}

double parsePercent(const std::string& name, const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !(value >= 0 && value <= 100)) {
        throw std::invalid_argument(name + " needs a percentage from 0 to 100, not '" + text + "'");
    }
    return value;
}

}  // namespace

ServiceOptions parseServiceOptions(const std::vector<std::string>& args) {
    ServiceOptions options;
    using Setter = std::function<void(const std::string& name, const std::string& value)>;
    const std::map<std::string, Setter> valued = {
        {"--port", [&](auto& n, auto& v) { options.port = parseInt(n, v, 0, 65535); }},
        {"--email", [&](auto&, auto& v) { options.email = v; }},
        {"--password", [&](auto&, auto& v) { options.password = v; }},
        {"--session-id",
         [&](auto&, auto& v) {
             // The id becomes part of every per-session path; a slash would make it unreachable.
             if (v.empty() || v.find_first_of("/?#") != std::string::npos) {
                 throw std::invalid_argument("--session-id must be non-empty without / ? #");
             }
             options.sessionId = v;
         }},
        {"--record", [&](auto&, auto& v) { options.recordFile = v; }},
        {"--scenario", [&](auto&, auto& v) { options.scenarioFile = v; }},
        {"--session-seconds",
         [&](auto& n, auto& v) { options.sessionSeconds = parseInt(n, v, 0, 86400); }},
        {"--video", [&](auto&, auto& v) { options.videoFile = v; }},
        {"--loss", [&](auto& n, auto& v) { options.impairment.lossPercent = parsePercent(n, v); }},
        {"--seed",
         [&](auto& n, auto& v) {
             options.impairment.seed = static_cast<std::uint32_t>(parseInt(n, v, 0, 2147483647));
         }},
        {"--jitter",
         [&](auto& n, auto& v) { options.impairment.jitterMs = parseInt(n, v, 0, 1000); }},
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name == "--version") {
            options.version = true;
            continue;
        }
        // An unknown name is refused as such wherever it stands, even last on the line.
        auto option = valued.find(name);
        if (option == valued.end()) {
            throw std::invalid_argument("unknown argument " + name);
        }
        if (i + 1 >= args.size()) {
            throw std::invalid_argument(name + " needs a value");
        }
        option->second(name, args[++i]);
    }
    return options;
}

std::string serviceUsage() {
    return "usage: quorvanta-local-service [options]\n"
           "  --port N              port on 127.0.0.1 (default 8080, 0 picks a free one)\n"
           "  --email ADDRESS       demo account e-mail (default demo@quorvanta.local)\n"
           "  --password TEXT       demo account password (default demo)\n"
           "  --session-id ID       id of the one active game session (default demo-session)\n"
           "  --record FILE         append every request and data-channel message as JSON lines\n"
           "  --scenario FILE       scripted replies (see README.md)\n"
           "  --session-seconds S   close the stream S seconds after it connected\n"
           "  --video FILE          stream this Annex B file in a loop instead of a scene\n"
           "  --loss PERCENT        drop this share of the outgoing video packets at random\n"
           "  --seed N              the same drops every run (default: a new seed each run)\n"
           "  --jitter MS           delay every outgoing packet by up to MS, keeping order\n"
           "  --help                this text\n"
           "  --version             the version\n";
}
