#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

// One HTTP exchange, redirects included, over its own libcurl handles. Nothing persists
// between requests, so requests may run on several threads at once.
struct HttpResponse {
    long status = 0;  // 0 when no HTTP answer arrived
    std::string body;
    // With status 0, why: libcurl's error text or one of apiText's reasons.
    std::string error;
};

struct HttpRequest {
    enum class Method { Get, Post };

    Method method = Method::Get;
    std::string url;
    std::vector<std::string> headers;  // "Name: value", sent wherever a redirect leads
    // The Authorization value, sent only to the origin of `url`, never after a redirect to
    // another host.
    std::string authorization;
    std::string body;  // sent with Post only; a POST stays a POST with its body on every redirect
    // A reply body longer than this fails the request as if no answer had come.
    std::size_t maxBodyBytes = 0;
    // Once true, a request in flight ends within stopCheckInterval and a new one fails at once.
    const std::atomic<bool>* stopRequested = nullptr;

    static constexpr long timeoutMs = 10000;  // the whole request, every redirect included
    static constexpr long maxRedirects = 50;
    static constexpr std::chrono::milliseconds stopCheckInterval{50};
    static constexpr const char* userAgent = "quorvanta-client/" QV_VERSION;

    HttpResponse perform() const;
};
