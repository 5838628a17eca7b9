#include "mra/core/report/rating.hpp"

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

}  // namespace velora::core
