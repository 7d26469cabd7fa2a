#pragma once

#include "base/EventLog.hpp"

// While it lives, FFmpeg's own messages of warning level and above go to the log as
// "ffmpeg_error=" or "ffmpeg_warning=" lines, and less important ones nowhere. None reaches
// standard error, during its life or after it: FFmpeg would otherwise print a failed hardware
// probe on every start and each concealed error of a lossy stream. FFmpeg keeps one callback
// for the whole process, so there is one FfmpegLog at a time, owned by main.
class FfmpegLog {
  public:
    explicit FfmpegLog(EventLog& log);
    ~FfmpegLog();
    FfmpegLog(const FfmpegLog&) = delete;
    FfmpegLog& operator=(const FfmpegLog&) = delete;
};
