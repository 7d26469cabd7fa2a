#include "api/HttpRequest.hpp"

#include <curl/curl.h>

#include <memory>
#include <optional>

#include "api/ApiTexts.hpp"
#include "api/RedirectPolicy.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct MultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// The reply body of one exchange, never longer than its limit.
struct BodySink {
    std::string text;
    std::size_t limit = 0;
    bool overLimit = false;
};

// Called from inside libcurl: no exception may leave it. Returning less than given makes the
// transfer fail at once, which the caller sees as status 0.
size_t appendToBody(char* data, size_t size, size_t count, void* userData) noexcept {
    auto& sink = *static_cast<BodySink*>(userData);
    const size_t length = size * count;
    if (length > sink.limit - sink.text.size()) {
        sink.overLimit = true;
        return 0;
    }
    try {
        sink.text.append(data, length);
        return length;
    } catch (...) {
        return 0;
    }
}

bool stopping(const std::atomic<bool>* flag) {
    return flag != nullptr && flag->load();
}

HttpResponse failure(std::string reason) {
    HttpResponse response;
    response.error = std::move(reason);
    return response;
}

bool buildHeaderList(const std::vector<std::string>& lines, HeaderList& list) {
    list.reset();
    for (const std::string& line : lines) {
        curl_slist* extended = curl_slist_append(list.get(), line.c_str());
        if (!extended) {
            return false;
        }
        list.release();
        list.reset(extended);
    }
    return true;
}

// Runs one exchange to its end, looking at the stop flag between waits. libcurl's progress
// callback cannot stand in for this: while nothing arrives it is called only once a second.
CURLcode runExchange(CURLM* multi, CURL* easy, const std::atomic<bool>* stop, bool& stopped) {
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        return CURLE_FAILED_INIT;
    }
    CURLcode result = CURLE_FAILED_INIT;
    const int waitMs = static_cast<int>(HttpRequest::stopCheckInterval.count());
    for (bool done = false; !done;) {
        if (stopping(stop)) {
            stopped = true;
            break;
        }
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                result = message->data.result;
                done = true;
            }
        }
        if (!done && curl_multi_poll(multi, nullptr, 0, waitMs, nullptr) != CURLM_OK) {
            break;
        }
    }
    curl_multi_remove_handle(multi, easy);
    return result;
}

}  // namespace

HttpResponse HttpRequest::perform() const {
    if (stopping(stopRequested)) {
        return failure(apiText::cancelled);
    }
    // Declared before the handles: libcurl may touch them until the easy handle is freed.
    char errorText[CURL_ERROR_SIZE] = {};
    BodySink sink;
    HeaderList headerList;
    EasyHandle easy(curl_easy_init());
    MultiHandle multi(curl_multi_init());
    if (!easy || !multi) {
        return failure(apiText::noTransfer);
    }
    CURL* h = easy.get();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

    std::string hopUrl = url;
    for (long redirects = 0;; ++redirects) {
        std::vector<std::string> lines = headers;
        if (!authorization.empty() && sameOrigin(url, hopUrl)) {
            lines.push_back("Authorization: " + authorization);
        }
        if (method == Method::Post) {
            // Without this libcurl may wait for "100 Continue" before sending a large body.
            lines.emplace_back("Expect:");
        }
        if (!buildHeaderList(lines, headerList)) {
            return failure(apiText::noTransfer);
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return failure(apiText::timedOut);
        }
        sink = BodySink{{}, maxBodyBytes, false};
        errorText[0] = '\0';

        // Reset keeps the open connections, so a redirect to the same host reuses its socket.
        curl_easy_reset(h);
        curl_easy_setopt(h, CURLOPT_URL, hopUrl.c_str());
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());
        curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent);
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
        // Signals cannot carry time-outs across threads; libcurl must not use them.
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        // The API is plain HTTP(S); a base URL or a redirect must not open files or other schemes.
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendToBody);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
        // Refuses a declared length over the limit before reading any of the body.
        curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBodyBytes));
        if (method == Method::Post) {
            curl_easy_setopt(h, CURLOPT_POST, 1L);
            curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        }

        bool stopped = false;
        const CURLcode code = runExchange(multi.get(), h, stopRequested, stopped);
        if (stopped) {
            return failure(apiText::cancelled);
        }
        if (sink.overLimit || code == CURLE_FILESIZE_EXCEEDED) {
            return failure(apiText::bodyTooLarge(maxBodyBytes));
        }
        if (code != CURLE_OK) {
            // A partial answer counts as none.
            return failure(errorText[0] != '\0' ? errorText : curl_easy_strerror(code));
        }

        // Any 3xx with a Location moves on, as libcurl's own following would.
        char* location = nullptr;
        curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location);
        if (location == nullptr) {
            HttpResponse response;
            curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
            response.body = std::move(sink.text);
            return response;
        }
        if (redirects == maxRedirects) {
            return failure(apiText::tooManyRedirects);
        }
        std::string next = location;
        if (std::string refusal = redirectRefusal(hopUrl, next); !refusal.empty()) {
            return failure(std::move(refusal));
        }
        hopUrl = std::move(next);
    }
}
