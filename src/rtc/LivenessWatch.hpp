#pragma once

// The connection's own thread. Every 250 ms it runs the connection's check of the link; it
// also tells when nothing has arrived from the remote peer for too long, which is how a peer
// that vanished without a word is found gone. At close it stops the pipeline: it is not a
// streaming thread, so the state change cannot wait on itself.

#include <gst/gst.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "rtc/Glib.hpp"

namespace rtc {

class LivenessWatch {
  public:
    LivenessWatch() = default;
    // Joins the thread when it is done; one stuck in GStreamer (or this thread itself) holds
    // what it needs and ends on its own.
    ~LivenessWatch();
    LivenessWatch(const LivenessWatch&) = delete;
    LivenessWatch& operator=(const LivenessWatch&) = delete;

    // Counts every buffer a network source of the pipeline hands on as a sign of life.
    void watchNetwork(GstElement* pipeline);
    // Starts the thread; check runs on it until stop, and must not outlive its owner.
    void start(glib::Ref<GstElement> pipeline, std::function<void()> check);
    bool started() const { return thread.joinable(); }

    // The link is up: silence counts from now on, not from before.
    void arm();
    // Armed, and nothing arrived within the silence limit.
    bool silent() const;

    // Ends the thread, which then stops the pipeline. Waits (bounded) for that unless wait is
    // false or this is the thread itself.
    void stop(bool wait);

  private:
    // Shared with the thread and the probes, which may outlive the watch when teardown hangs.
    struct Shared {
        std::mutex mutex;
        std::condition_variable wake;
        bool teardown = false;
        bool done = false;
        bool armed = false;
        std::atomic<std::int64_t> lastActivity{0};
    };

    const std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::thread thread;
};

}  // namespace rtc
