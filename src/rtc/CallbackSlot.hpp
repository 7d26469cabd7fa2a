#pragma once

// One user callback of a connection. User code may replace it at any time from any thread;
// the engine's threads take a copy and call it through the connection's gate, never under the
// slot's lock, so a callback may replace itself or close the connection.

#include <functional>
#include <mutex>
#include <utility>

#include "rtc/CallbackGate.hpp"

namespace rtc {

template <typename... Args>
class CallbackSlot {
  public:
    void set(std::function<void(Args...)> callback) {
        std::lock_guard lock(mutex);
        slot = std::move(callback);
    }

    // Calls the callback, when one is set and the gate is open.
    void run(CallbackGate& gate, Args... args) const {
        std::function<void(Args...)> callback;
        {
            std::lock_guard lock(mutex);
            callback = slot;
        }
        if (callback) {
            gate.run([&] { callback(std::forward<Args>(args)...); });
        }
    }

  private:
    mutable std::mutex mutex;
    std::function<void(Args...)> slot;
};

}  // namespace rtc
