#include "RequestRecorder.hpp"

#include <stdexcept>

RequestRecorder::RequestRecorder(const std::string& path) : out(path, std::ios::app) {
    if (!out) {
        throw std::runtime_error("cannot open record file " + path);
    }
}

void RequestRecorder::write(const nlohmann::json& line) {
    // Bodies are whatever the network sent: invalid UTF-8 is replaced, never thrown on.
    std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard lock(mutex);
    out << text << '\n';
    out.flush();
}
