#pragma once

#include <cstddef>
#include <string>

// Every log text of the HTTP transport, in one place so they are easy to check.
namespace apiText {

// "http_error=" + method + " " + path without its query + ": " + one of the reasons below or
// libcurl's own error text.
inline constexpr const char* httpErrorLog = "http_error=";

inline constexpr const char* cancelled = "cancelled, the client is stopping";
inline constexpr const char* timedOut = "no answer within the request time-out";
inline constexpr const char* tooManyRedirects = "more than 50 redirects";
inline constexpr const char* redirectToOtherScheme =
    "redirect to a scheme other than http or https";
inline constexpr const char* redirectToPlainHttp = "redirect from https to plain http";
inline constexpr const char* noTransfer = "libcurl could not set up the request";

inline std::string bodyTooLarge(std::size_t limit) {
    return "response body larger than " + std::to_string(limit) + " bytes";
}

}  // namespace apiText
