#pragma once

#include <cmath>
#include <limits>

// Truncation toward zero that saturates instead of overflowing, so a huge or non-finite
// figure never turns into undefined behaviour in the conversion.
template <typename Integer>
Integer truncateClamped(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    constexpr double low = static_cast<double>(std::numeric_limits<Integer>::min());
    // 2^64 and 2^31 are exact in a double; anything at or above them saturates.
    constexpr double high = static_cast<double>(std::numeric_limits<Integer>::max()) + 1.0;
    if (value <= low) {
        return std::numeric_limits<Integer>::min();
    }
    if (value >= high) {
        return std::numeric_limits<Integer>::max();
    }
    return static_cast<Integer>(value);
}
