#pragma once

// Lets engine callbacks reach user code only while a connection is open. close() shuts the
// gate and waits (bounded) for callbacks already running, except the ones running on the
// closing thread itself, so close() may be called from inside a callback.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace rtc {

class CallbackGate {
  public:
    // Runs f unless the gate is closed. Anything f throws stays here: callers are C frames.
    template <typename F>
    bool run(F&& f) {
        {
            std::lock_guard lock(mutex);
            if (closed) {
                return false;
            }
            ++inFlight;
        }
        activeOnThisThread().push_back(this);
        try {
            f();
        } catch (...) {
            // A user callback failed; the engine goes on.
        }
        auto& active = activeOnThisThread();
        active.erase(std::find(active.begin(), active.end(), this));
        // Notified under the lock: once close() sees the count drop, the gate may be gone.
        std::lock_guard lock(mutex);
        --inFlight;
        idle.notify_all();
        return true;
    }

    // Returns false when callbacks were still running once the time-out passed.
    bool close(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        auto& active = activeOnThisThread();
        int own = static_cast<int>(std::count(active.begin(), active.end(), this));
        std::unique_lock lock(mutex);
        closed = true;
        return idle.wait_for(lock, timeout, [&] { return inFlight <= own; });
    }

    bool isClosed() const {
        std::lock_guard lock(mutex);
        return closed;
    }

    // True when the calling thread is inside a callback of this gate.
    bool insideCallback() {
        auto& active = activeOnThisThread();
        return std::find(active.begin(), active.end(), this) != active.end();
    }

  private:
    static std::vector<const CallbackGate*>& activeOnThisThread() {
        thread_local std::vector<const CallbackGate*> active;
        return active;
    }

    mutable std::mutex mutex;
    std::condition_variable idle;
    bool closed = false;
    int inFlight = 0;
};

}  // namespace rtc
