// Latency histograms as one PNG: a panel per series, bins of equal width, the median and the
// 99th percentile marked, labels in the panel's own 8 x 16 font.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct Series {
    std::string title;
    std::vector<double> us; // samples, microseconds
};

// False when the file cannot be written or the build has no libpng.
bool write_histograms(const std::string &path, const std::vector<Series> &series, double max_us);

} // namespace bench
