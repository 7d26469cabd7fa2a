#pragma once

#include "base/EventLog.hpp"
#include "rtc/EngineLog.hpp"
#include "video/FfmpegLog.hpp"

// The log of one run, "native-client.log" in the settings folder, with everything that feeds
// it besides the client's own lines: FFmpeg's, GStreamer's and GLib's messages, kept off the
// console. Main owns it for the whole run.
class ClientLog {
  public:
    ClientLog();

    EventLog& events() { return log; }

  private:
    EventLog log;
    FfmpegLog ffmpeg;
    rtc::EngineLog engine;
};
