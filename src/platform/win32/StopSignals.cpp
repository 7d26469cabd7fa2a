#include "platform/StopSignals.hpp"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform {

namespace {

// The console handler is a plain function the system calls on a thread of its own; it reaches
// the one live StopSignals through this, under the mutex so that it cannot outlive it.
std::mutex currentMutex;
StopSignals::Impl* current = nullptr;

BOOL WINAPI onConsoleEvent(DWORD type);

}  // namespace

class StopSignals::Impl {
  public:
    explicit Impl(std::function<void()> onStop) : onStop(std::move(onStop)) {
        {
            std::lock_guard lock(currentMutex);
            current = this;
        }
        SetConsoleCtrlHandler(onConsoleEvent, TRUE);
        watcher = std::thread([this] { watch(); });
    }

    ~Impl() {
        SetConsoleCtrlHandler(onConsoleEvent, FALSE);
        {
            std::lock_guard lock(currentMutex);
            current = nullptr;
        }
        {
            std::lock_guard lock(mutex);
            quit = true;
        }
        wake.notify_all();
        watcher.join();
    }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void notify() {
        {
            std::lock_guard lock(mutex);
            signalled = true;
        }
        wake.notify_all();
    }

  private:
    void watch() {
        std::unique_lock lock(mutex);
        while (true) {
            if (signalled) {
                wake.wait_for(lock, std::chrono::milliseconds(100), [this] { return quit; });
            } else {
                wake.wait(lock, [this] { return quit || signalled; });
            }
            if (quit) {
                return;
            }
            lock.unlock();
            try {
                onStop();
            } catch (...) {
                // Asking again in 100 ms is all that can be done.
            }
            lock.lock();
        }
    }

    std::function<void()> onStop;
    std::mutex mutex;
    std::condition_variable wake;
    bool signalled = false;
    bool quit = false;
    std::thread watcher;
};

namespace {

BOOL WINAPI onConsoleEvent(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    std::lock_guard lock(currentMutex);
    if (current == nullptr) {
        return FALSE;
    }
    current->notify();
    return TRUE;
}

}  // namespace

StopSignals::StopSignals(std::function<void()> onStop)
    : impl(std::make_unique<Impl>(std::move(onStop))) {}

StopSignals::~StopSignals() = default;

}  // namespace platform
