#include "video/SampleWindow.hpp"

#include <algorithm>

void SampleWindow::add(double ms) {
    std::lock_guard lock(mutex);
    samples.push_back(ms);
}

SampleWindow::Summary SampleWindow::takeSummary() {
    std::vector<double> taken;
    {
        std::lock_guard lock(mutex);
        taken.swap(samples);
    }
    return summarise(std::move(taken));
}

SampleWindow::Summary SampleWindow::summarise(std::vector<double> taken) {
    if (taken.empty()) {
        return {};
    }
    std::sort(taken.begin(), taken.end());
    const auto rank = [&](double q) {
        return taken[std::min(taken.size() - 1, static_cast<std::size_t>(q * taken.size()))];
    };
    return {rank(0.5), rank(0.99), taken.back()};
}
