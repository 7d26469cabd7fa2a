#pragma once

#include <atomic>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "base/EventLog.hpp"

struct HttpRequest;
struct HttpResponse;

// The one client of the service's HTTP API: base URL, bearer token, JSON both ways, a
// 10 s limit on every request. After login it is only read, so any thread may use it.
class ApiClient {
  public:
    // Reply bodies are bounded: the API answers with small JSON values, and the network
    // test's chunks (262144 bytes) are the largest reply the client asks for.
    static constexpr std::size_t replyLimit = 64 * 1024;
    static constexpr std::size_t largeReplyLimit = 262144 + 64 * 1024;

    // Every trailing "/" is removed; nothing else is checked. Each request that ends without
    // an answer (status 0) writes one "http_error=" line to `log`. Once `stopRequested` is
    // true, requests in flight end at once with status 0 and new ones are not sent.
    ApiClient(std::string baseUrl, EventLog& log, const std::atomic<bool>& stopRequested);

    // True and the token kept on success. False with the reason in `error` for any HTTP
    // status but 200/201 or a reply without a string "access_token". Throws the JSON
    // library's type error, before sending anything, when e-mail or password is not UTF-8.
    bool login(const std::string& email, const std::string& password, std::string& error);

    // The parsed reply. Throws std::runtime_error for a status outside 200..299 and the
    // JSON library's parse error for a body that is not JSON (an empty one included). A reply
    // body longer than `limit` counts as no answer (status 0).
    nlohmann::json get(const std::string& path, std::size_t limit = replyLimit) const;
    nlohmann::json postJson(const std::string& path, const nlohmann::json& body) const;

    const std::string& baseUrl() const { return base; }
    const std::string& token() const { return accessToken; }

  private:
    HttpResponse perform(HttpRequest& request, const char* method, const std::string& path) const;

    std::string base;
    std::string accessToken;
    EventLog& log;
    const std::atomic<bool>& stopRequested;
};
