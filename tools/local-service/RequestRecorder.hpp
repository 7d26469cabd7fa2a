#pragma once

// Appends one JSON object per line to a file, each line flushed, so tests can read what the
// service saw while it is still running.

#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

class RequestRecorder {
  public:
    // Throws std::runtime_error when the file cannot be opened for appending.
    explicit RequestRecorder(const std::string& path);

    void write(const nlohmann::json& line);

  private:
    std::mutex mutex;
    std::ofstream out;
};
