#include "rtc/Glib.hpp"

#include <mutex>
#include <stdexcept>

namespace rtc::glib {

void reportFailedCallback(const char* where, const char* what) noexcept {
    g_log("quorvanta", G_LOG_LEVEL_WARNING, "%s failed: %s", where, what);
}

void initialiseGstreamer() {
    static std::once_flag once;
    std::call_once(once, [] {
        GError* rawError = nullptr;
        if (!gst_init_check(nullptr, nullptr, &rawError)) {
            ErrorPtr error(rawError);
            throw std::runtime_error(std::string("GStreamer could not start: ") +
                                     (error ? error->message : "unknown error"));
        }
    });
}

}  // namespace rtc::glib
