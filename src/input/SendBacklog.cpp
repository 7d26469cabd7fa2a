#include "input/SendBacklog.hpp"

void SendBacklog::observe(std::size_t bufferedBytes, Clock::time_point now) {
    last = now;
    if (bufferedBytes <= threshold) {
        since.reset();
    } else if (!since) {
        since = now;
    }
}
