#pragma once

#include <atomic>
#include <string_view>

#include "base/EventLog.hpp"

// The log as a library's C callback reaches it. Such a callback may take no user data, or may
// still be running on a library thread when the owner of the hook is gone, so it goes through
// a LentLog that outlives every call: main lends its log for a while, and once withdraw()
// returns no callback touches that log any more.
class LentLog {
  public:
    constexpr LentLog() = default;
    LentLog(const LentLog&) = delete;
    LentLog& operator=(const LentLog&) = delete;

    void lend(EventLog& log);
    // Waits for writes in flight, which are short: one line each.
    void withdraw();

    // Writes the line while a log is lent; drops it otherwise. Never throws.
    void write(std::string_view line) noexcept;

  private:
    std::atomic<EventLog*> log{nullptr};
    std::atomic<int> writers{0};
};
