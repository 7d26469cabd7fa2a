#pragma once

#include <optional>

#include "base/EventLog.hpp"
#include "base/LoggedStream.hpp"
#include "rtc/EngineLog.hpp"
#include "video/FfmpegLog.hpp"

// The log of one run, "native-client.log" in the settings folder, with everything that feeds
// it besides the client's own lines: FFmpeg's, GStreamer's and GLib's messages (kept off the
// console) and every line written to standard error. Main owns it for the whole run.
class ClientLog {
  public:
    ClientLog();

    EventLog& events() { return log; }

    // Returns the exit code; when it reports an error, the console also names the log file.
    int finish(int exitCode);

  private:
    EventLog log;
    std::optional<LoggedStream> errors;
    FfmpegLog ffmpeg;
    rtc::EngineLog engine;
};
