#include "rtc/EngineLog.hpp"

#include <glib.h>
#include <gst/gst.h>

#include <string>

#include "base/LentLog.hpp"
#include "base/SafeText.hpp"
#include "rtc/Glib.hpp"

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

std::optional<std::string> BusLines::line(bool error, const std::string& element,
                                          const std::string& message, const std::string& debug,
                                          Clock::time_point now) {
    {
        std::lock_guard lock(mutex);
        auto [last, added] = lastLine.try_emplace(element, now);
        if (!added && now - last->second < std::chrono::seconds(1)) {
            return std::nullopt;
        }
        last->second = now;
        // Elements come and go with streams; forget the quiet ones rather than grow.
        if (lastLine.size() > 256) {
            std::erase_if(lastLine, [now](const auto& entry) {
                return now - entry.second >= std::chrono::seconds(1);
            });
        }
    }
    return printableLine(std::string(error ? "engine_error=" : "engine_warning=") + element + ": " +
                         message + (debug.empty() ? "" : " (" + debug + ")"));
}

void logBusMessages(GstElement* pipeline) {
    glib::Ref<GstBus> bus = glib::Ref<GstBus>::adopt(gst_pipeline_get_bus(GST_PIPELINE(pipeline)));
    using Shared = std::shared_ptr<BusLines>;
    gst_bus_set_sync_handler(
        bus.get(),
        [](GstBus*, GstMessage* message, gpointer data) noexcept {
            const GstMessageType type = GST_MESSAGE_TYPE(message);
            if (type != GST_MESSAGE_ERROR && type != GST_MESSAGE_WARNING) {
                return GST_BUS_DROP;
            }
            try {
                GError* error = nullptr;
                gchar* debug = nullptr;
                if (type == GST_MESSAGE_ERROR) {
                    gst_message_parse_error(message, &error, &debug);
                } else {
                    gst_message_parse_warning(message, &error, &debug);
                }
                const std::string text = error && error->message ? error->message : "";
                g_clear_error(&error);
                const std::string details = glib::takeString(debug);
                const char* name =
                    GST_MESSAGE_SRC(message) ? GST_MESSAGE_SRC_NAME(message) : nullptr;
                if (auto line = glib::userData<Shared>(data)->line(type == GST_MESSAGE_ERROR,
                                                                   name ? name : "", text, details,
                                                                   BusLines::Clock::now())) {
                    lentLog.write(*line);
                }
            } catch (...) {
                // Called from C: a line that cannot be built is lost.
            }
            return GST_BUS_DROP;
        },
        glib::newUserData<Shared>(std::make_shared<BusLines>()), &glib::freeUserData<Shared>);
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
