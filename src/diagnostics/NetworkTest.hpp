#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "base/SafeText.hpp"  // toValidUtf8
#include "platform/MessageBox.hpp"

// What the test measured on the link between the client and the service's API.
struct NetworkFigures {
    double pingMs = 0.0;
    double downloadMbps = 0.0;
    double uploadMbps = 0.0;
};

// Everything the test touches, passed in: the API requests (ApiClient::get and postJson in the
// client, each throwing a std::exception on failure), the window title, the message box, the
// monotonic clock in nanoseconds, and whether the client is stopping (empty: never).
struct NetworkTestIo {
    std::function<nlohmann::json(const std::string& path)> get;
    std::function<nlohmann::json(const std::string& path, const nlohmann::json& body)> post;
    std::function<void(const std::string& title)> setWindowTitle;
    std::function<void(const std::string& title, const std::string& text, MessageIcon icon)>
        showMessageBox;
    std::function<std::int64_t()> clockNs;
    std::function<bool()> stopRequested;
};

// Runs the 30 requests one after another on the calling thread and shows the result, or the
// first failure, in a message box. A failure while the client is stopping (its requests are cut
// short then) shows nothing: the client is about to end.
void runNetworkTest(const NetworkTestIo& io);

// The text of the result box; throws when the status reply cannot be read.
std::string networkTestText(const NetworkFigures& figures, const nlohmann::json& status);
