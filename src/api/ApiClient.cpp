#include "api/ApiClient.hpp"

#include <stdexcept>
#include <utility>

#include "api/ApiTexts.hpp"
#include "api/HttpRequest.hpp"
#include "base/SafeText.hpp"

namespace {

const char* const jsonContentType = "Content-Type: application/json";

bool isSuccess(long status) {
    return status >= 200 && status <= 299;
}

std::string failureMessage(const char* method, const std::string& path,
                           const HttpResponse& response) {
    return std::string(method) + " " + path + " HTTP " + std::to_string(response.status) + ": " +
           response.body;
}

}  // namespace

ApiClient::ApiClient(std::string baseUrl, EventLog& log, const std::atomic<bool>& stopRequested)
    : base(std::move(baseUrl)), log(log), stopRequested(stopRequested) {
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
}

HttpResponse ApiClient::perform(HttpRequest& request, const char* method,
                                const std::string& path) const {
    request.stopRequested = &stopRequested;
    HttpResponse response = request.perform();
    if (response.status == 0) {
        // The query may carry ids; the reason may quote the server. Neither may steer the log.
        const std::string what =
            std::string(method) + " " + path.substr(0, path.find('?')) + ": " + response.error;
        log.write(apiText::httpErrorLog + printableLine(what));
    }
    return response;
}

bool ApiClient::login(const std::string& email, const std::string& password, std::string& error) {
    const nlohmann::json credentials = {{"email", email}, {"password", password}};
    HttpRequest request;
    request.method = HttpRequest::Method::Post;
    request.url = base + "/auth/login";
    request.body = credentials.dump();  // throws for text that is not UTF-8: nothing is sent
    request.headers = {jsonContentType};
    request.maxBodyBytes = replyLimit;

    const HttpResponse response = perform(request, "POST", "/auth/login");
    if (response.status != 200 && response.status != 201) {
        error = "Login failed: HTTP " + std::to_string(response.status);
        return false;
    }
    try {
        accessToken = nlohmann::json::parse(response.body).at("access_token").get<std::string>();
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

nlohmann::json ApiClient::get(const std::string& path, std::size_t limit) const {
    HttpRequest request;
    request.url = base + path;
    request.authorization = "Bearer " + accessToken;
    request.maxBodyBytes = limit;

    const HttpResponse response = perform(request, "GET", path);
    if (!isSuccess(response.status)) {
        throw std::runtime_error(failureMessage("GET", path, response));
    }
    return nlohmann::json::parse(response.body);
}

nlohmann::json ApiClient::postJson(const std::string& path, const nlohmann::json& body) const {
    HttpRequest request;
    request.method = HttpRequest::Method::Post;
    request.body = body.dump();
    request.url = base + path;
    request.authorization = "Bearer " + accessToken;
    request.headers = {jsonContentType};
    request.maxBodyBytes = replyLimit;

    const HttpResponse response = perform(request, "POST", path);
    if (!isSuccess(response.status)) {
        throw std::runtime_error(failureMessage("POST", path, response));
    }
    return nlohmann::json::parse(response.body);
}
