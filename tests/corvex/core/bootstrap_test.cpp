#include "corvex/core/bootstrap.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "corvex/core/error.hpp"

namespace velora::core::corvex {
namespace {

struct PercentileCase {
    std::vector<double> values;
    double q;
    double expected;  // what numpy.percentile(values, q) gives
};

class Percentile : public testing::TestWithParam<PercentileCase> {};

TEST_P(Percentile, InterpolatesLinearlyBetweenRanks) {
    auto values = GetParam().values;
    EXPECT_DOUBLE_EQ(percentile_linear(values, GetParam().q), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Percentile,
                         testing::Values(PercentileCase{{1, 2, 3, 4}, 50, 2.5},
                                         PercentileCase{{4, 1, 3, 2}, 25, 1.75},
                                         PercentileCase{{1, 2, 3, 4}, 0, 1},
                                         PercentileCase{{1, 2, 3, 4}, 100, 4}, PercentileCase{{10}, 2.5, 10},
                                         PercentileCase{{0, 10}, 97.5, 9.75},
                                         PercentileCase{{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 2.5, 0.225}));

TEST(Percentile, EmptyIsNaN) {
    std::vector<double> none;
    EXPECT_TRUE(std::isnan(percentile_linear(none, 50)));
}

std::vector<double> bernoulli(size_t n, double p, uint64_t seed) {
    Xoshiro256 rng(seed);
    std::vector<double> out(n);
    for (auto& v : out) v = static_cast<double>(rng.next() >> 11) * 0x1.0p-53 < p ? 1.0 : 0.0;
    return out;
}

TEST(Bootstrap, SameSeedSameInterval) {
    const auto scores = bernoulli(500, 0.3, 7);
    const BootstrapOptions options{};
    const Interval a = bootstrap_mean(scores, options);
    const Interval b = bootstrap_mean(scores, options);
    EXPECT_EQ(a.low, b.low);
    EXPECT_EQ(a.high, b.high);
    BootstrapOptions other = options;
    other.seed += 1;
    const Interval c = bootstrap_mean(scores, other);
    EXPECT_TRUE(c.low != a.low || c.high != a.high);
}

TEST(Bootstrap, IntervalBracketsTheMeanAndNarrowsWithConfidence) {
    const auto scores = bernoulli(400, 0.4, 11);
    double mean = 0;
    for (double s : scores) mean += s;
    mean /= static_cast<double>(scores.size());
    const Interval wide = bootstrap_mean(scores, {1000, 0.99, 5});
    const Interval narrow = bootstrap_mean(scores, {1000, 0.5, 5});
    EXPECT_LT(wide.low, narrow.low);
    EXPECT_LT(narrow.low, mean);
    EXPECT_GT(narrow.high, mean);
    EXPECT_GT(wide.high, narrow.high);
    // Normal approximation: half-width of a 99% interval is about 2.58 standard errors.
    const double se = std::sqrt(mean * (1 - mean) / static_cast<double>(scores.size()));
    EXPECT_NEAR((wide.high - wide.low) / 2, 2.576 * se, 0.25 * 2.576 * se);
}

TEST(Bootstrap, CoversTheTrueMeanAboutAsOftenAsItShould) {
    // 300 samples of 200 draws from Bernoulli(0.3): a 95% interval should hold 0.3 roughly 95% of the time.
    size_t covered = 0;
    const size_t trials = 300;
    for (size_t t = 0; t < trials; ++t) {
        const auto scores = bernoulli(200, 0.3, 1000 + t);
        const Interval ci = bootstrap_mean(scores, {1000, 0.95, 99 + t});
        if (ci.low <= 0.3 && 0.3 <= ci.high) ++covered;
    }
    const double rate = static_cast<double>(covered) / trials;
    EXPECT_GT(rate, 0.90);
    EXPECT_LT(rate, 0.99);
}

TEST(Bootstrap, ConstantScoresGiveAPointInterval) {
    const std::vector<double> ones(50, 1.0);
    const Interval ci = bootstrap_mean(ones, {});
    EXPECT_EQ(ci.low, 1.0);
    EXPECT_EQ(ci.high, 1.0);
}

TEST(Bootstrap, RatioStatisticsSkipUndefinedResamples) {
    // Column 1 is non-zero in one row only: many resamples miss it and their ratio is undefined.
    std::vector<double> rows;
    for (int i = 0; i < 20; ++i) {
        rows.push_back(1.0);
        rows.push_back(i == 0 ? 1.0 : 0.0);
    }
    const std::vector<SumStatistic> stats{
        [](const double* s, size_t) { return s[1] == 0 ? std::nan("") : s[1] / s[1]; }};
    const auto ci = bootstrap_sums(rows, 2, stats, {});
    EXPECT_EQ(ci[0].low, 1.0);
    EXPECT_EQ(ci[0].high, 1.0);
    const std::vector<SumStatistic> never{[](const double*, size_t) { return std::nan(""); }};
    EXPECT_TRUE(std::isnan(bootstrap_sums(rows, 2, never, {})[0].low));
}

TEST(Bootstrap, DataHoldingNaNGivesANaNInterval) {
    // Without the rule the resamples that missed the NaN would give a narrow interval around 1.
    std::vector<double> scores(200, 1.0);
    scores[17] = std::nan("");
    const Interval ci = bootstrap_mean(scores, {});
    EXPECT_TRUE(std::isnan(ci.low) && std::isnan(ci.high));
}

TEST(Bootstrap, ResampleCountIsBounded) {
    const std::vector<double> scores(10, 1.0);
    EXPECT_THROW(bootstrap_mean(scores, {kMaxResamples + 1, 0.95, 1}), CorvexError);
    EXPECT_EQ(bootstrap_mean(scores, {kMaxResamples, 0.95, 1}).low, 1.0);
}

TEST(Bootstrap, OneColumnSumsMatchTheMeanPath) {
    const auto scores = bernoulli(333, 0.5, 3);
    const std::vector<SumStatistic> mean{
        [](const double* s, size_t n) { return s[0] / static_cast<double>(n); }};
    // Three columns carrying the same scores draw the same rows as the one-column fast path.
    std::vector<double> wide;
    for (double s : scores) wide.insert(wide.end(), {s, 0.0, 0.0});
    const Interval fast = bootstrap_mean(scores, {});
    const Interval general = bootstrap_sums(wide, 3, mean, {})[0];
    EXPECT_DOUBLE_EQ(fast.low, general.low);
    EXPECT_DOUBLE_EQ(fast.high, general.high);
}

}  // namespace
}  // namespace velora::core::corvex
