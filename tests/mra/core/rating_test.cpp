#include "mra/core/report/rating.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "mra/core/report/percentile.hpp"

namespace velora::core {
namespace {

struct RateCase {
    double score;
    bool higher_is_better;
    Category expected;
};

class RateScore : public testing::TestWithParam<RateCase> {};

TEST_P(RateScore, StrictComparisonsOnTheScore) {
    EXPECT_EQ(rate_score(GetParam().score, 0.4, 0.6, GetParam().higher_is_better), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RateScore,
    testing::Values(RateCase{0.39, true, Category::Red}, RateCase{0.4, true, Category::Orange},
                    RateCase{0.5, true, Category::Orange}, RateCase{0.6, true, Category::Orange},
                    RateCase{0.61, true, Category::Green}, RateCase{0.39, false, Category::Green},
                    RateCase{0.4, false, Category::Orange}, RateCase{0.6, false, Category::Orange},
                    RateCase{0.61, false, Category::Red}));

TEST(RateAgainstCorpus, DefaultBandUsesTheStoredBoundsNotTheCorpus) {
    // Stored bounds that disagree with the scores win: they are not recomputed.
    const auto rating = rate_against_corpus(true, 3.5, 3.9, {1, 2, 3, 4}, 3, std::nullopt);
    EXPECT_EQ(rating.percentile, 62.5);
    EXPECT_EQ(rating.category, Category::Red);
    EXPECT_EQ(rating.range.lower, 25);
    EXPECT_EQ(rating.range.upper, 75);
}

TEST(RateAgainstCorpus, LowerIsBetterMirrorsPercentileAndRangeButNotThresholds) {
    // Corpus 10th and 80th percentiles are 1.3 and 3.4; the score 1.2 is below the lower one.
    const auto rating = rate_against_corpus(false, 0, 0, {1, 2, 3, 4}, 1.2, PercentRange{10, 80});
    EXPECT_EQ(rating.percentile, 75.0);  // raw 25: one score below, none tied
    EXPECT_EQ(rating.category, Category::Green);
    EXPECT_EQ(rating.range.lower, 20);
    EXPECT_EQ(rating.range.upper, 90);
    EXPECT_EQ(rate_against_corpus(false, 0, 0, {1, 2, 3, 4}, 3.5, PercentRange{10, 80}).category,
              Category::Red);
    EXPECT_EQ(rate_against_corpus(true, 0, 0, {1, 2, 3, 4}, 3.5, PercentRange{10, 80}).category,
              Category::Green);
}

TEST(RateAgainstCorpus, CustomThresholdsAreRoundedToFourDecimals) {
    // The 50th percentile of these is 0.123456 + 0.5 * 0.00001 = 0.1234610; rounded, 0.1235.
    const std::vector<double> corpus{0.123456, 0.123466};
    EXPECT_EQ(rate_against_corpus(true, 0, 0, corpus, 0.12349, PercentRange{50, 50}).category, Category::Red);
    EXPECT_EQ(rate_against_corpus(true, 0, 0, corpus, 0.1235, PercentRange{50, 50}).category,
              Category::Orange);
}

TEST(RateAgainstCorpus, PercentileRoundsHalfToEven) {
    // 50 * 1 / 8 = 6.25 exactly: the tie goes to 6.2, not 6.3.
    EXPECT_EQ(rate_against_corpus(true, 0, 1, {1, 2, 3, 4, 5, 6, 7, 8}, 0.5 + 0.5, std::nullopt).percentile,
              6.2);
}

TEST(RateAgainstCorpus, EmptyCorpusRatesOnStoredBoundsWithoutAPercentile) {
    const auto rating = rate_against_corpus(true, 0.2, 0.4, {}, 0.5, std::nullopt);
    EXPECT_TRUE(std::isnan(rating.percentile));
    EXPECT_EQ(rating.category, Category::Green);
    EXPECT_THROW(rate_against_corpus(true, 0.2, 0.4, {}, 0.5, PercentRange{10, 90}), PercentileError);
    EXPECT_THROW(rate_against_corpus(true, 0.2, 0.4, {1}, 0.5, PercentRange{10, 190}), PercentileError);
}

struct UnreadableCase {
    std::optional<double> scored;
    double unreadable;
    std::optional<std::string> reason;
};

class UnreadableAnswers : public testing::TestWithParam<UnreadableCase> {};

TEST_P(UnreadableAnswers, RateOnlyWhenAtMostTheMaximumShareIsUnreadable) {
    EXPECT_EQ(unreadable_answers_reason(AnswerCounts{GetParam().scored, GetParam().unreadable}),
              GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnreadableAnswers,
    testing::Values(
        UnreadableCase{30, 7, std::nullopt},  // 7 of 37: below the share
        UnreadableCase{8, 2, std::nullopt},   // exactly the share still rates
        UnreadableCase{24, 7, "7 of 31 answers could not be read (more than the 20% a rating allows)"},
        UnreadableCase{0, 5, "5 of 5 answers could not be read (more than the 20% a rating allows)"},
        // Unreadable answers without the scored count: all that is known is unreadable.
        UnreadableCase{std::nullopt, 3,
                       "3 of 3 answers could not be read (more than the 20% a rating allows)"},
        UnreadableCase{std::nullopt, 0, std::nullopt}, UnreadableCase{0, 0, std::nullopt},
        UnreadableCase{10, std::nan(""), std::nullopt}, UnreadableCase{10, -4, std::nullopt}));

TEST(FoldCategories, AbsentWinsThenTheWorstRating) {
    using C = std::optional<Category>;
    EXPECT_EQ(fold_categories({C(Category::Green), C(Category::Orange)}), Category::Orange);
    EXPECT_EQ(fold_categories({C(Category::Green), std::nullopt, C(Category::Red)}), std::nullopt);
    EXPECT_EQ(fold_categories({C(Category::Orange), C(Category::Red), C(Category::Green)}), Category::Red);
    EXPECT_EQ(fold_categories({C(Category::Green), C(Category::Green)}), Category::Green);
    EXPECT_EQ(fold_categories({}), Category::Green);
}

TEST(CategoryCode, IsTheCodeTheReportPrints) {
    EXPECT_EQ(category_code(Category::Red), "RED");
    EXPECT_EQ(category_code(Category::Orange), "ORANGE");
    EXPECT_EQ(category_code(Category::Green), "GREEN");
}

}  // namespace
}  // namespace velora::core
