#pragma once

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string_view>

// The client's plain text log: one event per line, no time stamp, flushed at once so a
// crash loses nothing already written. Any thread may write.
class EventLog {
  public:
    // Opens the file truncated: every run starts a new log. A log that cannot be opened
    // silently loses its lines.
    explicit EventLog(const std::filesystem::path& path);

    void write(std::string_view line);

  private:
    std::mutex mutex;
    std::ofstream out;
};
