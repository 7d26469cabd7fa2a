#include "video/FfmpegLog.hpp"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <string>
#include <string_view>

#include "base/LentLog.hpp"

namespace {

// FFmpeg's callback carries no user data, and decoder threads may call it at any time, so the
// log main lends is reached from here.
LentLog lentLog;

void writeToLog(void* context, int level, const char* format, va_list arguments) noexcept {
    level &= 0xFF;  // the upper bits may carry a colour
    if (level > AV_LOG_WARNING) {
        return;
    }
    char text[1024];
    int printPrefix = 1;
    if (av_log_format_line2(context, level, format, arguments, text, sizeof text, &printPrefix) <
        0) {
        return;
    }
    std::string_view message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.remove_suffix(1);
    }
    if (message.empty()) {
        return;
    }
    try {
        // The log turns the library's text into one printable line.
        lentLog.write((level <= AV_LOG_ERROR ? "ffmpeg_error=" : "ffmpeg_warning=") +
                      std::string(message));
    } catch (...) {
        // Called from C: a line that cannot be built is lost.
    }
}

void discard(void*, int, const char*, va_list) noexcept {}

}  // namespace

FfmpegLog::FfmpegLog(EventLog& log) {
    lentLog.lend(log);
    av_log_set_callback(writeToLog);
}

FfmpegLog::~FfmpegLog() {
    // Not FFmpeg's default: that would print to standard error again.
    av_log_set_callback(discard);
    lentLog.withdraw();
}
