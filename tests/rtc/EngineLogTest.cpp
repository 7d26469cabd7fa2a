#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <vector>

#include "rtc/EngineLog.hpp"
#include "rtc/Glib.hpp"
#include "support/TempDir.hpp"

// The hooks are process-wide: after this test GStreamer and GLib stay quiet in this program.
TEST(EngineLog, warningsErrorsAndFailedCallbacksGoToTheLogAndNothingToTheConsole) {
    gst_init(nullptr, nullptr);
    GstDebugCategory* category = nullptr;
    GST_DEBUG_CATEGORY_INIT(category, "qvtest", 0, "engine log test");
    TempLog log;
    testing::internal::CaptureStderr();
    {
        rtc::EngineLog engine(log.log);
        GST_CAT_WARNING(category, "no transceiver for %s", "audio");
        GST_CAT_INFO(category, "chatty");
        GST_CAT_ERROR(category, "broken\nline");
        g_log("GStreamer", G_LOG_LEVEL_CRITICAL, "gst_object_unref: assertion failed");
        g_log("libnice", G_LOG_LEVEL_WARNING, "no route");
        g_message("chatty too");
        // A signal handler that throws must not unwind into GLib's frames.
        GstElement* element = gst_element_factory_make("fakesink", nullptr);
        rtc::glib::connect<void(GstElement*, GParamSpec*)>(
            element, "notify::name", [](GstElement*, GParamSpec*) { throw std::bad_alloc(); });
        gst_object_set_name(GST_OBJECT(element), "renamed");
        gst_object_unref(element);
    }
    GST_CAT_ERROR(category, "after the hook");
    g_log("GLib", G_LOG_LEVEL_WARNING, "after the hook");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(log.text(),
              "gstreamer_warning=qvtest: no transceiver for audio\n"
              "gstreamer_error=qvtest: broken\\x0Aline\n"
              "glib_critical=GStreamer: gst_object_unref: assertion failed\n"
              "glib_warning=libnice: no route\n"
              "glib_warning=quorvanta: signal handler failed: std::bad_alloc\n");
}

// Errors and warnings on a pipeline's bus: one line a second per element, made printable.
TEST(EngineLog, busErrorsAndWarningsAreLoggedAtMostOnceASecondPerElement) {
    using namespace std::chrono_literals;
    const auto start = rtc::BusLines::Clock::now();
    struct Case {
        std::chrono::milliseconds at;
        bool error;
        const char* element;
        const char* message;
        const char* debug;
        const char* line;  // nullptr: none
    };
    const std::vector<Case> cases = {
        {0ms, true, "depay0", "bad packet", "gstrtp.c(12)",
         "engine_error=depay0: bad packet (gstrtp.c(12))"},
        {200ms, false, "depay0", "again", "", nullptr},
        {300ms, false, "sink1", "late\r\n\x1b[2J", "",
         "engine_warning=sink1: late\\x0D\\x0A\\x1B[2J"},
        {999ms, true, "depay0", "still", "", nullptr},
        {1000ms, true, "depay0", "a second on", "", "engine_error=depay0: a second on"},
    };
    rtc::BusLines lines;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        auto line = lines.line(c.error, c.element, c.message, c.debug, start + c.at);
        EXPECT_EQ(line.value_or("none"), c.line ? c.line : "none");
    }

    // An element error posted on a real pipeline's bus reaches the log.
    gst_init(nullptr, nullptr);
    TempLog log;
    {
        rtc::EngineLog engine(log.log);
        GstElement* pipeline = gst_pipeline_new(nullptr);
        GstElement* element = gst_element_factory_make("identity", "provoked");
        gst_bin_add(GST_BIN(pipeline), element);
        rtc::logBusMessages(pipeline);
        GST_ELEMENT_ERROR(element, STREAM, DECODE, ("cannot decode"), ("frame %d", 7));
        gst_object_unref(pipeline);
    }
    const std::string text = log.text();
    EXPECT_NE(text.find("engine_error=provoked: cannot decode ("), std::string::npos) << text;
    EXPECT_NE(text.find("frame 7)\n"), std::string::npos) << text;
}
