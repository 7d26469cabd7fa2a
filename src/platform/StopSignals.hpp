#pragma once

#include <functional>
#include <memory>

namespace platform {

// While it exists, the requests to stop from outside (SIGINT and SIGTERM; on Windows Ctrl+C,
// Ctrl+Break and closing the console) no longer end the process at once. Each calls `onStop`
// on a thread of this object's own, joined by the destructor. After the first, `onStop` is
// called again every 100 ms until the object goes, so that a modal window that opens while the
// client is stopping is closed too; it must therefore be idempotent. One at a time per process.
class StopSignals {
  public:
    explicit StopSignals(std::function<void()> onStop);  // throws std::runtime_error
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    class Impl;

  private:
    std::unique_ptr<Impl> impl;
};

}  // namespace platform
