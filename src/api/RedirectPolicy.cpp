#include "api/RedirectPolicy.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>

#include "api/ApiTexts.hpp"

namespace {

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

struct Origin {
    std::string scheme;
    std::string host;
    std::string port;
};

std::optional<std::string> urlPart(CURLU* url, CURLUPart part, unsigned int flags) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, flags) != CURLUE_OK || text == nullptr) {
        return std::nullopt;
    }
    std::string value(text);
    curl_free(text);
    // Schemes and host names compare without regard to case.
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return value;
}

std::optional<Origin> originOf(const std::string& text) {
    std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    auto scheme = urlPart(url.get(), CURLUPART_SCHEME, 0);
    auto host = urlPart(url.get(), CURLUPART_HOST, 0);
    auto port = urlPart(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!scheme || !host || !port) {
        return std::nullopt;
    }
    return Origin{*scheme, *host, *port};
}

}  // namespace

std::string redirectRefusal(const std::string& from, const std::string& to) {
    const auto target = originOf(to);
    if (!target || (target->scheme != "http" && target->scheme != "https")) {
        return apiText::redirectToOtherScheme;
    }
    const auto source = originOf(from);
    if (source && source->scheme == "https" && target->scheme != "https") {
        return apiText::redirectToPlainHttp;
    }
    return {};
}

bool sameOrigin(const std::string& a, const std::string& b) {
    const auto first = originOf(a);
    const auto second = originOf(b);
    return first && second && first->scheme == second->scheme && first->host == second->host &&
           first->port == second->port;
}
