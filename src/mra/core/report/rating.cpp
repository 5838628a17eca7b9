#include "mra/core/report/rating.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/pynum.hpp"
#include "mra/core/report/percentile.hpp"

namespace velora::core {

std::string_view category_code(Category category) {
    switch (category) {
        case Category::Red:
            return "RED";
        case Category::Orange:
            return "ORANGE";
        case Category::Green:
            return "GREEN";
    }
    return "ORANGE";
}

Category rate_score(double score, double lower_threshold, double upper_threshold, bool higher_is_better) {
    if (score < lower_threshold) return higher_is_better ? Category::Red : Category::Green;
    if (score > upper_threshold) return higher_is_better ? Category::Green : Category::Red;
    return Category::Orange;
}

CorpusRating rate_against_corpus(bool higher_is_better, double lower_bound, double upper_bound,
                                 const std::vector<double>& corpus_scores, double score,
                                 const std::optional<PercentRange>& custom) {
    if (std::isnan(score)) throw UnratableScore("the score is not a number");
    const auto is_nan = [](double value) { return std::isnan(value); };
    if (is_nan(lower_bound) || is_nan(upper_bound) ||
        std::any_of(corpus_scores.begin(), corpus_scores.end(), is_nan)) {
        throw UnratableScore("the corpus row holds a value that is not a number");
    }
    double percentile = percentile_of_score(corpus_scores, score);
    PercentRange range = custom.value_or(kDefaultPercentRange);
    double lower_threshold = lower_bound, upper_threshold = upper_bound;
    if (custom) {
        lower_threshold = round_half_even(linear_percentile(corpus_scores, range.lower), 4);
        upper_threshold = round_half_even(linear_percentile(corpus_scores, range.upper), 4);
    }
    if (!higher_is_better) {
        percentile = 100.0 - percentile;
        // The thresholds stay where they are: only the reading of the band turns round.
        range = PercentRange{100.0 - range.upper, 100.0 - range.lower};
    }
    CorpusRating rating;
    rating.category = rate_score(score, lower_threshold, upper_threshold, higher_is_better);
    rating.percentile = round_half_even(percentile, 1);
    rating.range = range;
    return rating;
}

std::optional<Category> fold_categories(const std::vector<std::optional<Category>>& cards) {
    bool red = false, orange = false;
    for (const auto& card : cards) {
        if (!card) return std::nullopt;
        red = red || *card == Category::Red;
        orange = orange || *card == Category::Orange;
    }
    if (red) return Category::Red;
    if (orange) return Category::Orange;
    return Category::Green;
}

namespace {

std::string count_text(double count) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", count);
    return text;
}

}  // namespace

std::optional<std::string> unreadable_answers_reason(const AnswerCounts& counts) {
    const double total = counts.scored.value_or(0.0) + counts.unreadable;
    // Negative or NaN counts are no evidence of unreadable answers.
    if (!(counts.unreadable > 0.0) || !(total > 0.0)) return std::nullopt;
    if (!(counts.unreadable / total > kMaxUnreadableShare)) return std::nullopt;
    return count_text(counts.unreadable) + " of " + count_text(total) +
           " answers could not be read (more than the " + count_text(kMaxUnreadableShare * 100.0) +
           "% a rating allows)";
}

}  // namespace velora::core
