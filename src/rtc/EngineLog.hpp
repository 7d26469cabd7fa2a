#pragma once

#include <gst/gst.h>

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/EventLog.hpp"

namespace rtc {

// While it lives, the engine's own messages of warning level and above go to the log:
// GStreamer's debug messages as "gstreamer_error=" and "gstreamer_warning=" lines, and GLib's
// warnings (from GStreamer, libnice, GLib itself) as "glib_error=", "glib_critical=" and
// "glib_warning=" lines. None reaches standard error, during its life or after it. A
// developer's GST_DEBUG keeps GStreamer's own output as well. GStreamer and GLib keep these
// settings for the whole process, so there is one EngineLog at a time, owned by main; it may
// be created before the engine starts.
// A line of the engine adapter's own for the log that EngineLog holds; lost when there is
// none. Never throws.
void writeEngineLine(std::string_view line) noexcept;

// The lines for errors and warnings on a pipeline's bus, "engine_error=" and
// "engine_warning=" with the element's name, the message and the debug text, each made one
// printable line: at most one a second per element, so a failing element cannot flood the log.
class BusLines {
  public:
    using Clock = std::chrono::steady_clock;
    std::optional<std::string> line(bool error, const std::string& element,
                                    const std::string& message, const std::string& debug,
                                    Clock::time_point now);

  private:
    std::mutex mutex;
    std::map<std::string, Clock::time_point> lastLine;  // by element
};

// Writes the errors and warnings posted on the pipeline's bus to the log EngineLog holds, and
// drops every message, so none piles up on a bus that nothing reads.
void logBusMessages(GstElement* pipeline);

class EngineLog {
  public:
    explicit EngineLog(EventLog& log);
    ~EngineLog();
    EngineLog(const EngineLog&) = delete;
    EngineLog& operator=(const EngineLog&) = delete;

  private:
    int previousThreshold;
};

}  // namespace rtc
