#include "ServiceOptions.hpp"

#include <charconv>
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

}  // namespace

ServiceOptions parseServiceOptions(const std::vector<std::string>& args) {
    ServiceOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            throw std::invalid_argument(name.rfind("--", 0) == 0 ? name + " needs a value"
                                                                 : "unknown argument " + name);
        }
        const std::string& value = args[++i];
        if (name == "--port") {
            options.port = parseInt(name, value, 0, 65535);
        } else if (name == "--email") {
            options.email = value;
        } else if (name == "--password") {
            options.password = value;
        } else if (name == "--session-id") {
            // The id becomes part of every per-session path; a slash would make it unreachable.
            if (value.empty() || value.find_first_of("/?#") != std::string::npos) {
                throw std::invalid_argument("--session-id must be non-empty without / ? #");
            }
            options.sessionId = value;
        } else if (name == "--record") {
            options.recordFile = value;
        } else if (name == "--scenario") {
            options.scenarioFile = value;
        } else if (name == "--session-seconds") {
            options.sessionSeconds = parseInt(name, value, 0, 86400);
        } else if (name == "--video") {
            options.videoFile = value;
        } else {
            throw std::invalid_argument("unknown argument " + name);
        }
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
           "  --help                this text\n";
}
