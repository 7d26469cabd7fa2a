#pragma once

#include <mutex>
#include <vector>

// Durations in milliseconds gathered over one statistics interval, then summarised and started
// anew. Any thread may add; one reader takes the summary.
class SampleWindow {
  public:
    struct Summary {
        double median = 0;
        double p99 = 0;
        double max = 0;
    };

    void add(double ms);
    // The summary of what was added since the last call (all zero when nothing was), and a
    // fresh window.
    Summary takeSummary();
    // The summary of any set of durations.
    static Summary summarise(std::vector<double> samples);

  private:
    std::mutex mutex;
    std::vector<double> samples;
};
