#include "app/EventLog.hpp"

EventLog::EventLog(const std::filesystem::path& path)
    : out(path, std::ios::out | std::ios::trunc | std::ios::binary) {}

void EventLog::write(std::string_view line) {
    std::lock_guard lock(mutex);
    out << line << '\n';
    out.flush();
}
