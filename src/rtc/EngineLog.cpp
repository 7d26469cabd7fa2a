#include "rtc/EngineLog.hpp"

#include <glib.h>
#include <gst/gst.h>

#include <string>

#include "base/LentLog.hpp"

namespace rtc {

namespace {

// Both libraries may call from their own threads after the EngineLog is gone (a teardown
// left running), so the log main lends is reached from here.
LentLog lentLog;

void gstreamerToLog(GstDebugCategory* category, GstDebugLevel level, const gchar*, const gchar*,
                    gint, GObject* object, GstDebugMessage* message, gpointer) noexcept {
    if (level != GST_LEVEL_ERROR && level != GST_LEVEL_WARNING) {
        return;
    }
    try {
        std::string line = level == GST_LEVEL_ERROR ? "gstreamer_error=" : "gstreamer_warning=";
        line += gst_debug_category_get_name(category);
        if (object && GST_IS_OBJECT(object) && GST_OBJECT_NAME(object)) {
            line += std::string(" <") + GST_OBJECT_NAME(object) + ">";
        }
        const gchar* text = gst_debug_message_get(message);
        line += std::string(": ") + (text ? text : "");
        // The log turns the library's text into one printable line.
        lentLog.write(line);
    } catch (...) {
        // Called from C: a line that cannot be built is lost.
    }
}

void glibToLog(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) noexcept {
    const char* kind = (level & G_LOG_LEVEL_ERROR)      ? "glib_error="
                       : (level & G_LOG_LEVEL_CRITICAL) ? "glib_critical="
                       : (level & G_LOG_LEVEL_WARNING)  ? "glib_warning="
                                                        : nullptr;
    if (!kind) {
        // Debug and info print only when G_MESSAGES_DEBUG asks for them; "message" is dropped.
        if (level & (G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG)) {
            g_log_default_handler(domain, level, message, nullptr);
        }
        return;
    }
    try {
        std::string line = kind;
        if (domain) {
            line += std::string(domain) + ": ";
        }
        line += message ? message : "";
        lentLog.write(line);
    } catch (...) {
        // Called from C: a line that cannot be built is lost.
    }
}

}  // namespace

void writeEngineLine(std::string_view line) noexcept {
    lentLog.write(line);
}

EngineLog::EngineLog(EventLog& log) : previousThreshold(gst_debug_get_default_threshold()) {
    lentLog.lend(log);
    g_log_set_default_handler(glibToLog, nullptr);
    gst_debug_add_log_function(gstreamerToLog, nullptr, nullptr);
    // Before gst_init this also keeps GStreamer from adding its console output later.
    if (!g_getenv("GST_DEBUG")) {
        gst_debug_remove_log_function(gst_debug_log_default);
    }
    if (previousThreshold < GST_LEVEL_WARNING) {
        gst_debug_set_default_threshold(GST_LEVEL_WARNING);
    }
}

EngineLog::~EngineLog() {
    // GLib's handler stays: it only writes what is lent, and nothing once the log is withdrawn.
    gst_debug_set_default_threshold(static_cast<GstDebugLevel>(previousThreshold));
    gst_debug_remove_log_function(gstreamerToLog);
    lentLog.withdraw();
}

}  // namespace rtc
