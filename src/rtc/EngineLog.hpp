#pragma once

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
