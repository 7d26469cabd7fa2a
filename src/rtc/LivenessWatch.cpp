#include "rtc/LivenessWatch.hpp"

#include <algorithm>
#include <chrono>

#include "rtc/rtc.hpp"

namespace rtc {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto checkInterval = 250ms;
constexpr auto silenceLimit = PeerConnection::silenceLimit;
constexpr auto stopTimeout = 5s;

std::int64_t nowTicks() {
    return Clock::now().time_since_epoch().count();
}

}  // namespace

LivenessWatch::~LivenessWatch() {
    if (!thread.joinable()) {
        return;
    }
    bool finished = false;
    {
        std::lock_guard lock(shared->mutex);
        finished = shared->done;
    }
    if (finished && thread.get_id() != std::this_thread::get_id()) {
        thread.join();
    } else {
        thread.detach();
    }
}

void LivenessWatch::watchNetwork(GstElement* pipeline) {
    using Activity = std::shared_ptr<Shared>;
    glib::connect<void(GstBin*, GstBin*, GstElement*)>(
        pipeline, "deep-element-added", [activity = shared](GstBin*, GstBin*, GstElement* added) {
            GstElementFactory* factory = gst_element_get_factory(added);
            if (!factory || g_strcmp0(GST_OBJECT_NAME(factory), "nicesrc") != 0) {
                return;
            }
            glib::Ref<GstPad> source =
                glib::Ref<GstPad>::adopt(gst_element_get_static_pad(added, "src"));
            if (!source) {
                return;
            }
            gst_pad_add_probe(
                source.get(),
                GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                [](GstPad*, GstPadProbeInfo*, gpointer data) {
                    glib::userData<Activity>(data)->lastActivity.store(nowTicks(),
                                                                       std::memory_order_relaxed);
                    return GST_PAD_PROBE_OK;
                },
                glib::newUserData<Activity>(activity), &glib::freeUserData<Activity>);
        });
}

void LivenessWatch::start(glib::Ref<GstElement> pipeline, std::function<void()> check) {
    thread =
        std::thread([shared = shared, pipeline = std::move(pipeline), check = std::move(check)] {
            while (true) {
                {
                    std::unique_lock lock(shared->mutex);
                    shared->wake.wait_for(lock, checkInterval, [&] { return shared->teardown; });
                    if (shared->teardown) {
                        break;
                    }
                }
                check();
            }
            gst_element_set_state(pipeline.get(), GST_STATE_NULL);
            {
                std::lock_guard lock(shared->mutex);
                shared->done = true;
            }
            shared->wake.notify_all();
        });
}

void LivenessWatch::arm() {
    std::lock_guard lock(shared->mutex);
    if (!shared->armed) {
        shared->armed = true;
        shared->lastActivity = std::max(shared->lastActivity.load(), nowTicks());
    }
}

bool LivenessWatch::silent() const {
    {
        std::lock_guard lock(shared->mutex);
        if (!shared->armed) {
            return false;
        }
    }
    auto last = Clock::time_point(Clock::duration(shared->lastActivity.load()));
    return Clock::now() - last > silenceLimit;
}

void LivenessWatch::stop(bool wait) {
    if (!thread.joinable()) {
        return;
    }
    {
        std::lock_guard lock(shared->mutex);
        shared->teardown = true;
    }
    shared->wake.notify_all();
    if (!wait || thread.get_id() == std::this_thread::get_id()) {
        return;
    }
    std::unique_lock lock(shared->mutex);
    shared->wake.wait_for(lock, stopTimeout, [&] { return shared->done; });
}

}  // namespace rtc
