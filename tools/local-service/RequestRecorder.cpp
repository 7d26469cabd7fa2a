#include "RequestRecorder.hpp"

#include <stdexcept>

RequestRecorder::RequestRecorder(const std::string& path) : out(path, std::ios::app) {
    if (!out) {
        throw std::runtime_error("cannot open record file " + path);
    }
}

namespace {

// A record is for reading what the client sent, not for collecting the account's password.
nlohmann::json withPasswordMasked(const nlohmann::json& line) {
    if (!line.is_object() || !line.contains("body") || !line["body"].is_string()) {
        return line;
    }
    auto body = nlohmann::json::parse(line["body"].get<std::string>(), nullptr, false);
    if (!body.is_object() || !body.contains("password")) {
        return line;
    }
    body["password"] = "***";
    nlohmann::json masked = line;
    masked["body"] = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return masked;
}

}  // namespace

void RequestRecorder::write(const nlohmann::json& line) {
    // Bodies are whatever the network sent: invalid UTF-8 is replaced, never thrown on.
    std::string text =
        withPasswordMasked(line).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard lock(mutex);
    out << text << '\n';
    out.flush();
}
