#include <gst/gst.h>
#include <gtest/gtest.h>

#include <new>

#include "rtc/EngineLog.hpp"
#include "rtc/Glib.hpp"
#include "support/TempDir.hpp"

// The hooks are process-wide: after this test GStreamer and GLib stay quiet in this program.
TEST(EngineLog, warningsErrorsAndFailedCallbacksGoToTheLogAndNothingToTheConsole) {
    gst_init(nullptr, nullptr);
    GstDebugCategory* category = nullptr;
    GST_DEBUG_CATEGORY_INIT(category, "qvtest", 0, "engine log test");
    TempDir folder;
    const auto path = folder.path() / "native-client.log";
    testing::internal::CaptureStderr();
    {
        EventLog log(path);
        {
            rtc::EngineLog engine(log);
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
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(readWholeFile(path),
              "gstreamer_warning=qvtest: no transceiver for audio\n"
              "gstreamer_error=qvtest: broken\\x0Aline\n"
              "glib_critical=GStreamer: gst_object_unref: assertion failed\n"
              "glib_warning=libnice: no route\n"
              "glib_warning=quorvanta: signal handler failed: std::bad_alloc\n");
}
