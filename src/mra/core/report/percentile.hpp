// Where a score stands within a corpus of scores, and the corpus score at a given percentage.
#pragma once

#include <stdexcept>
#include <vector>

namespace velora::core {

// Percentile of `score` within `scores` by the "mean" definition, on a 0-100 scale: the average of
// the share strictly below and the share at or below, so ties count half. NaN for an empty corpus.
double percentile_of_score(const std::vector<double>& scores, double score);

// A percentage outside 0..100, or an empty corpus.
class PercentileError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// The corpus score at percentage `q` (0..100) by linear interpolation between the two closest
// ranks of the sorted scores; computed the way the array library's default method computes it,
// so that the numbers agree with it to the last bit. Throws PercentileError.
double linear_percentile(std::vector<double> scores, double q);

}  // namespace velora::core
