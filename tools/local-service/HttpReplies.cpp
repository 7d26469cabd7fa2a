#include "HttpReplies.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <charconv>
#include <filesystem>

namespace {

int portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return -1;
}

}  // namespace

void reply(httplib::Response& response, int status, const nlohmann::json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

void replyError(httplib::Response& response, int status, const std::string& message) {
    reply(response, status, {{"error", message}});
}

std::optional<nlohmann::json> objectBody(const httplib::Request& request,
                                         httplib::Response& response) {
    nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        replyError(response, 400, "expected a JSON object");
        return std::nullopt;
    }
    return body;
}

std::optional<long long> parseWhole(const std::string& text) {
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// httplib keeps the socket of a request to itself, so it is found among the process's
// descriptors by its two ports.
void dropConnection(const httplib::Request& request) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        auto fd = parseWhole(entry.path().filename().string());
        if (!fd) {
            continue;
        }
        sockaddr_storage local{}, remote{};
        socklen_t localLength = sizeof local, remoteLength = sizeof remote;
        int descriptor = static_cast<int>(*fd);
        if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            getpeername(descriptor, reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0) {
            continue;
        }
        if (portOf(local) == request.local_port && portOf(remote) == request.remote_port) {
            shutdown(descriptor, SHUT_RDWR);
            return;
        }
    }
}
