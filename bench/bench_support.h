// Small helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace wirekit::bench {

// The median of the figures (0 for none).
inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace wirekit::bench
