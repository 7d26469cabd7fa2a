#pragma once

// Waits for a webrtcbin promise with a deadline, so that a stuck engine cannot hang the
// caller. The shared state outlives a reply that comes after the caller gave up.

#include <gst/gst.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "rtc/Glib.hpp"

namespace rtc {

class PromiseWaiter {
  public:
    PromiseWaiter();

    // The promise to hand to the engine's action signal.
    GstPromise* get() const { return promise.get(); }

    // True once the promise is replied or interrupted; false, interrupting it, when the
    // time-out passes first.
    bool settle(std::chrono::milliseconds timeout);
    // After settle: the message of an error reply; nothing for any other outcome.
    std::optional<std::string> replyError() const;

    // Settles within the engine's time-out and returns the reply (a copy), or throws
    // std::runtime_error naming the step: "<step> timed out", "<step> was interrupted",
    // "<step> failed: <message>".
    glib::StructurePtr wait(const std::string& step);

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = false;
    };
    static std::optional<std::string> errorOf(const GstStructure* reply);

    std::shared_ptr<State> state;
    glib::PromisePtr promise;
};

}  // namespace rtc
