#pragma once

#include <nlohmann/json.hpp>
#include <string>

// The one client of the service's HTTP API: base URL, bearer token, JSON both ways, a
// 10 s limit on every request. After login it is only read, so any thread may use it.
class ApiClient {
  public:
    // Every trailing "/" is removed; nothing else is checked.
    explicit ApiClient(std::string baseUrl);

    // True and the token kept on success. False with the reason in `error` for any HTTP
    // status but 200/201 or a reply without a string "access_token". Throws the JSON
    // library's type error, before sending anything, when e-mail or password is not UTF-8.
    bool login(const std::string& email, const std::string& password, std::string& error);

    // The parsed reply. Throws std::runtime_error for a status outside 200..299 and the
    // JSON library's parse error for a body that is not JSON (an empty one included).
    nlohmann::json get(const std::string& path) const;
    nlohmann::json postJson(const std::string& path, const nlohmann::json& body) const;

    const std::string& baseUrl() const { return base; }
    const std::string& token() const { return accessToken; }

  private:
    std::string authorizationHeader() const;

    std::string base;
    std::string accessToken;
};
