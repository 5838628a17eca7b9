// Percentile-bootstrap confidence intervals. Each resample draws n instances with replacement and
// adds up the k per-instance columns of the drawn rows; each statistic is a function of those k sums
// (a mean is one column over n, a ratio is two columns, a disparity across groups is two columns per
// group). One pass of draws serves every statistic of a card, so all of them see the same resamples.
// Cost: resamples x n draws; the buffers are taken once per call, nothing is allocated per resample.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace velora::core::corvex {

// xoshiro256** seeded through splitmix64: small, fast, and the same stream on every platform.
class Xoshiro256 {
  public:
    explicit Xoshiro256(uint64_t seed);
    uint64_t next();

  private:
    uint64_t s_[4];
};

// Beyond this many resamples the interval no longer changes, and the buffer of one value per
// resample and statistic would grow without bound.
inline constexpr size_t kMaxResamples = 100000;

struct BootstrapOptions {
    size_t resamples = 1000;
    double confidence = 0.95;
    uint64_t seed = 20240917;
};

struct Interval {
    double low;
    double high;
};

// The q-th percentile (0..100) of `values` with linear interpolation between the closest ranks
// (the default method of NumPy's percentile). Sorts `values` in place; NaN for an empty input.
double percentile_linear(std::vector<double>& values, double q);

// A statistic of one resample: the k column sums of the drawn rows and the number of rows drawn.
using SumStatistic = std::function<double(const double* sums, size_t rows)>;

// Intervals of each statistic over `resamples` bootstrap resamples of the n = rows.size() / k rows
// (row-major, k columns). Resamples whose statistic is NaN (an empty group, a zero denominator) are
// left out of the percentiles; when every one is NaN the interval is NaN. A NaN among the rows makes
// every interval NaN: the statistic of the data itself is then undefined, and leaving out the
// resamples that drew it would give a narrow interval around the rest of the data. Resamples must
// lie in 1..kMaxResamples (CorvexError).
std::vector<Interval> bootstrap_sums(std::span<const double> rows, size_t columns,
                                     const std::vector<SumStatistic>& statistics,
                                     const BootstrapOptions& options);

// Interval of the mean of `scores`: the one-column case, the same draws as bootstrap_sums.
Interval bootstrap_mean(std::span<const double> scores, const BootstrapOptions& options);

}  // namespace velora::core::corvex
