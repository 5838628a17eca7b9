#include "mra/core/report/percentile.hpp"

#include <algorithm>
#include <cmath>

namespace velora::core {

double percentile_of_score(const std::vector<double>& scores, double score) {
    if (scores.empty()) return std::nan("");
    size_t below = 0, at_or_below = 0;
    for (const double value : scores) {
        if (value < score) ++below;
        if (value <= score) ++at_or_below;
    }
    return 50.0 * static_cast<double>(below + at_or_below) / static_cast<double>(scores.size());
}

double linear_percentile(std::vector<double> scores, double q) {
    if (!(q >= 0.0 && q <= 100.0)) throw PercentileError("Percentiles must be in the range [0, 100]");
    if (scores.empty()) throw PercentileError("cannot take a percentile of an empty corpus");
    // Any NaN makes the array library's answer NaN, whatever the percentage.
    if (std::any_of(scores.begin(), scores.end(), [](double v) { return std::isnan(v); }))
        return std::nan("");
    std::sort(scores.begin(), scores.end());
    const double h = static_cast<double>(scores.size() - 1) * (q / 100.0);
    const double floor_h = std::floor(h);
    const auto k = static_cast<size_t>(floor_h);
    if (k + 1 >= scores.size()) return scores.back();
    const double a = scores[k], b = scores[k + 1], t = h - floor_h;
    const double diff = b - a;
    // Interpolating from the nearer end keeps the result monotone and exact at the ranks.
    return t >= 0.5 ? b - diff * (1.0 - t) : a + diff * t;
}

}  // namespace velora::core
