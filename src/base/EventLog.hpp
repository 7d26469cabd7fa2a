#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// The client's plain text log: one event per line, no time stamp, flushed at once so a
// crash loses nothing already written. Any thread may write.
//
// A server that keeps failing the same way must not fill the disk: a run of identical lines
// is written once, and the next different line (or closing the log) is preceded by
// "previous line repeated N times", N counting the copies left out. The log of one run stays
// within its size limit; once the next line would not fit, one closing marker ends it.
class EventLog {
  public:
    static constexpr std::uintmax_t defaultSizeLimit = 10 * 1024 * 1024;

    // Keeps the previous run's log as path + ".1", then opens the file truncated: every run
    // starts a new log. A log that cannot be opened silently loses its lines.
    explicit EventLog(const std::filesystem::path& path,
                      std::uintmax_t sizeLimit = defaultSizeLimit);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    void write(std::string_view line);

    const std::filesystem::path& path() const { return filePath; }

  private:
    void writeRepeatCount();
    void append(const std::string& line);

    const std::filesystem::path filePath;
    const std::uintmax_t sizeLimit;
    const std::string sizeLimitMarker;
    std::mutex mutex;
    std::ofstream out;
    std::uintmax_t size = 0;
    bool full = false;
    std::optional<std::string> previousLine;
    std::uint64_t repeats = 0;
};
