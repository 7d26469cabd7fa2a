#include "api/HttpRequest.hpp"

#include <curl/curl.h>

#include <memory>

namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// Called from inside libcurl: no exception may leave it. Returning less than given makes
// the transfer fail, which the caller sees as status 0.
size_t appendToBody(char* data, size_t size, size_t count, void* userData) noexcept {
    try {
        static_cast<std::string*>(userData)->append(data, size * count);
        return size * count;
    } catch (...) {
        return 0;
    }
}

}  // namespace

HttpResponse HttpRequest::perform() const {
    EasyHandle handle(curl_easy_init());
    if (!handle) {
        return {};
    }
    std::vector<std::string> allHeaders = headers;
    if (method == Method::Post) {
        // Without this libcurl may wait for "100 Continue" before sending a large body.
        allHeaders.emplace_back("Expect:");
    }
    HeaderList headerList;
    for (const std::string& header : allHeaders) {
        curl_slist* extended = curl_slist_append(headerList.get(), header.c_str());
        if (!extended) {
            return {};
        }
        headerList.release();
        headerList.reset(extended);
    }

    std::string received;
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMs);
    // Signals cannot carry time-outs across threads; libcurl must not use them.
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    // The API is plain HTTP(S); a base URL must not open files or other schemes.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendToBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &received);
    if (method == Method::Post) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    }

    if (curl_easy_perform(h) != CURLE_OK) {
        return {};  // a partial answer counts as none
    }
    HttpResponse response;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
    response.body = std::move(received);
    return response;
}
