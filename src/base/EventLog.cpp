#include "base/EventLog.hpp"

#include <system_error>

#include "base/SafeText.hpp"

namespace {

std::filesystem::path previousRunPath(std::filesystem::path path) {
    path += ".1";
    return path;
}

// Keeps the previous run's log for a player who reports a problem after starting again.
const std::filesystem::path& keepPreviousRun(const std::filesystem::path& path) {
    std::error_code ignored;
    if (std::filesystem::exists(path, ignored)) {
        std::filesystem::rename(path, previousRunPath(path), ignored);
    }
    return path;
}

std::string repeatedLine(std::uint64_t repeats) {
    return "previous line repeated " + std::to_string(repeats) +
           (repeats == 1 ? " time" : " times");
}

std::string sizeLimitLine(std::uintmax_t sizeLimit) {
    return "log size limit of " + std::to_string(sizeLimit) +
           " bytes reached, later lines are not written";
}

}  // namespace

EventLog::EventLog(const std::filesystem::path& path, std::uintmax_t sizeLimit)
    : filePath(path),
      sizeLimit(sizeLimit),
      sizeLimitMarker(sizeLimitLine(sizeLimit)),
      out(keepPreviousRun(path), std::ios::out | std::ios::trunc | std::ios::binary) {}

EventLog::~EventLog() {
    std::lock_guard lock(mutex);
    writeRepeatCount();
}

void EventLog::write(std::string_view line) {
    // Lines may quote a server (an error body, a channel label): one event stays one line.
    std::string printable = printableLine(line);
    std::lock_guard lock(mutex);
    if (full) {
        return;
    }
    if (previousLine == printable) {
        ++repeats;
        return;
    }
    writeRepeatCount();
    append(printable);
    previousLine = std::move(printable);
}

void EventLog::writeRepeatCount() {
    if (repeats != 0) {
        append(repeatedLine(repeats));
        repeats = 0;
    }
}

void EventLog::append(const std::string& line) {
    if (full) {
        return;
    }
    // Room for the closing marker is always kept, so the file never passes the limit.
    if (size + line.size() + 1 + sizeLimitMarker.size() + 1 > sizeLimit) {
        full = true;
        out << sizeLimitMarker << '\n';
        size += sizeLimitMarker.size() + 1;
    } else {
        out << line << '\n';
        size += line.size() + 1;
    }
    out.flush();
}
