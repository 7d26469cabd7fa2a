#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include "support/TempDir.hpp"
#include "video/FfmpegLog.hpp"

TEST(FfmpegLog, warningsAndErrorsGoToTheLogAndNothingToTheConsole) {
    TempDir folder;
    const auto path = folder.path() / "native-client.log";
    testing::internal::CaptureStderr();
    {
        EventLog log(path);
        {
            FfmpegLog ffmpeg(log);
            av_log(nullptr, AV_LOG_ERROR, "Cannot load %s\n", "libcuda.so.1");
            av_log(nullptr, AV_LOG_WARNING, "concealing 3 errors\n");
            av_log(nullptr, AV_LOG_INFO, "chatty\n");
            av_log(nullptr, AV_LOG_FATAL, "broken\x1B[2J\n");
        }
        av_log(nullptr, AV_LOG_ERROR, "after the hook\n");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(readWholeFile(path),
              "ffmpeg_error=Cannot load libcuda.so.1\n"
              "ffmpeg_warning=concealing 3 errors\n"
              "ffmpeg_error=broken\\x1B[2J\n");
}
