#include "CpuLoadSampler.hpp"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

constexpr auto shortInterval = std::chrono::milliseconds(100);

CpuTimes readCpuTimes() {
    std::ifstream in("/proc/stat");
    std::stringstream text;
    text << in.rdbuf();
    auto times = parseCpuTimes(text.str());
    if (!times) {
        throw std::runtime_error("cannot read the cpu line of /proc/stat");
    }
    return *times;
}

}  // namespace

std::optional<CpuTimes> parseCpuTimes(const std::string& procStat) {
    std::istringstream lines(procStat);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name;
        fields >> name;
        if (name != "cpu") {
            continue;
        }
        // user nice system idle iowait irq softirq steal [guest guest_nice]; guest time is
        // already inside user and nice, so only the first eight count.
        std::uint64_t value[8] = {};
        int count = 0;
        while (count < 8 && fields >> value[count]) {
            ++count;
        }
        if (count < 4) {
            return std::nullopt;
        }
        CpuTimes times;
        for (int i = 0; i < count; ++i) {
            times.total += value[i];
        }
        std::uint64_t idle = value[3] + (count > 4 ? value[4] : 0);
        times.busy = times.total - idle;
        return times;
    }
    return std::nullopt;
}

double cpuLoadBetween(const CpuTimes& earlier, const CpuTimes& later) {
    if (later.total <= earlier.total || later.busy < earlier.busy) {
        return 0.0;
    }
    double load = 100.0 * static_cast<double>(later.busy - earlier.busy) /
                  static_cast<double>(later.total - earlier.total);
    return std::clamp(load, 0.0, 100.0);
}

int processorCount() {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<int>(count) : 1;
}

double CpuLoadSampler::loadPercent() {
    std::lock_guard lock(mutex);
    auto now = std::chrono::steady_clock::now();
    CpuTimes current = readCpuTimes();
    if (!previous || now - previousAt < shortInterval || current.total <= previous->total) {
        std::this_thread::sleep_for(shortInterval);
        CpuTimes start = current;
        current = readCpuTimes();
        now = std::chrono::steady_clock::now();
        previous = start;
    }
    double load = cpuLoadBetween(*previous, current);
    previous = current;
    previousAt = now;
    return load;
}
