#include "mra/core/report/percentile.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace velora::core {
namespace {

struct ScoreCase {
    std::vector<double> corpus;
    double score;
    double expected;
};

class PercentileOfScore : public testing::TestWithParam<ScoreCase> {};

TEST_P(PercentileOfScore, AveragesStrictAndWeakShares) {
    EXPECT_DOUBLE_EQ(percentile_of_score(GetParam().corpus, GetParam().score), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PercentileOfScore,
                         testing::Values(ScoreCase{{1, 2, 3, 4}, 3, 62.5},  // B=2, W=3
                                         ScoreCase{{1, 2, 3, 4}, 0, 0.0}, ScoreCase{{1, 2, 3, 4}, 5, 100.0},
                                         ScoreCase{{1, 2, 3, 4}, 2.5, 50.0},  // no tie
                                         ScoreCase{{2, 2, 2}, 2, 50.0},       // every score tied
                                         ScoreCase{{0.1, 0.2, 0.2, 0.9}, 0.2, 50.0}));

TEST(PercentileOfScore, EmptyCorpusIsNotANumber) { EXPECT_TRUE(std::isnan(percentile_of_score({}, 0.5))); }

struct LinearCase {
    std::vector<double> corpus;
    double q;
    double expected;
};

class LinearPercentile : public testing::TestWithParam<LinearCase> {};

TEST_P(LinearPercentile, AgreesWithTheArrayLibraryToTheBit) {
    EXPECT_EQ(linear_percentile(GetParam().corpus, GetParam().q), GetParam().expected);
}

// Expected values are numpy.percentile(corpus, q) as repr() prints them.
INSTANTIATE_TEST_SUITE_P(
    Cases, LinearPercentile,
    testing::Values(LinearCase{{1, 2, 3, 4}, 25, 1.75}, LinearCase{{1, 2, 3, 4}, 75, 3.25},
                    LinearCase{{0.1, 0.5, 0.2}, 10, 0.12000000000000001},
                    LinearCase{{0.1, 0.5, 0.2}, 80, 0.38}, LinearCase{{5}, 37, 5.0},
                    LinearCase{{0.3, 0.1, 0.2, 0.9, 0.4}, 33.3, 0.2332},
                    LinearCase{{0.61, 0.72, 0.55, 0.8, 0.67, 0.7, 0.58, 0.9, 0.63}, 25, 0.61},
                    LinearCase{{1, 2, 3, 4}, 0, 1.0}, LinearCase{{1, 2, 3, 4}, 100, 4.0},
                    LinearCase{{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7}, 12.5, 0.17500000000000002},
                    LinearCase{{0.123456789, 0.987654321}, 37.5, 0.4475308635}));

TEST(LinearPercentile, RefusesPercentagesOutsideTheScaleAndEmptyCorpora) {
    EXPECT_THROW(linear_percentile({1, 2}, -0.1), PercentileError);
    EXPECT_THROW(linear_percentile({1, 2}, 100.5), PercentileError);
    EXPECT_THROW(linear_percentile({1, 2}, std::nan("")), PercentileError);
    EXPECT_THROW(linear_percentile({}, 50), PercentileError);
}

TEST(LinearPercentile, ANotANumberInTheCorpusGivesNotANumber) {
    EXPECT_TRUE(std::isnan(linear_percentile({0.1, std::nan(""), 0.3}, 10)));
}

}  // namespace
}  // namespace velora::core
