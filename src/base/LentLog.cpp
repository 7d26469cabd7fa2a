#include "base/LentLog.hpp"

#include <thread>

void LentLog::lend(EventLog& target) {
    log.store(&target);
}

void LentLog::withdraw() {
    // A writer counts itself before it looks at the log, so once the log is gone from here and
    // the count is zero, every later writer finds nothing.
    log.store(nullptr);
    while (writers.load() != 0) {
        std::this_thread::yield();
    }
}

void LentLog::write(std::string_view line) noexcept {
    writers.fetch_add(1);
    if (EventLog* target = log.load()) {
        try {
            target->write(line);
        } catch (...) {
            // Called from C: a line that cannot be written is lost, like a failed file write.
        }
    }
    writers.fetch_sub(1);
}
