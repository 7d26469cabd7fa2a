#include "base/EventLog.hpp"

#include "base/SafeText.hpp"

EventLog::EventLog(const std::filesystem::path& path)
    : out(path, std::ios::out | std::ios::trunc | std::ios::binary) {}

void EventLog::write(std::string_view line) {
    // Lines may quote a server (an error body, a channel label): one event stays one line.
    const std::string printable = printableLine(line);
    std::lock_guard lock(mutex);
    out << printable << '\n';
    out.flush();
}
