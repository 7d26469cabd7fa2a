#pragma once

// The machine's processor load from /proc/stat, measured between two readings of the
// aggregate "cpu" line.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

struct CpuTimes {
    std::uint64_t busy = 0;
    std::uint64_t total = 0;
};

// The aggregate line of a /proc/stat text; absent when there is none or it is malformed.
std::optional<CpuTimes> parseCpuTimes(const std::string& procStat);

// Load in percent between two readings, within 0 to 100; 0 when no time passed.
double cpuLoadBetween(const CpuTimes& earlier, const CpuTimes& later);

int processorCount();

class CpuLoadSampler {
  public:
    // Measures since the previous call; when that is too recent or there was none, samples
    // over a short interval instead. Throws std::runtime_error when /proc/stat is unreadable.
    double loadPercent();

  private:
    std::mutex mutex;
    std::optional<CpuTimes> previous;
    std::chrono::steady_clock::time_point previousAt;
};
