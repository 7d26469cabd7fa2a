#pragma once

#include <string>
#include <vector>

// One HTTP exchange over its own libcurl easy handle. Nothing persists between requests,
// so requests may run on several threads at once.
struct HttpResponse {
    long status = 0;  // 0 when no HTTP answer arrived (refused, unresolvable, timed out)
    std::string body;
};

struct HttpRequest {
    enum class Method { Get, Post };

    Method method = Method::Get;
    std::string url;
    std::vector<std::string> headers;  // "Name: value"
    std::string body;                  // sent with Post only

    static constexpr long timeoutMs = 10000;  // the whole transfer, connection included

    HttpResponse perform() const;
};
