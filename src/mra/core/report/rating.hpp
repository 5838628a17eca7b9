// Traffic-light ratings: a score against the corpus of its card, and the card ratings of one risk
// dimension folded into the rating of that risk.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velora::core {

enum class Category { Red, Orange, Green };

// "RED", "ORANGE", "GREEN".
std::string_view category_code(Category category);

// The percentages that bound the Orange band, oriented like the percentile (higher is better).
struct PercentRange {
    double lower = 25.0;
    double upper = 75.0;
};

// The default band when no custom percentages are given: the stored corpus bounds sit there.
inline constexpr PercentRange kDefaultPercentRange{25.0, 75.0};

// Strict comparisons, so a score equal to either threshold is Orange. For lower-is-better cards a
// score below the lower threshold is the good side.
Category rate_score(double score, double lower_threshold, double upper_threshold, bool higher_is_better);

struct CorpusRating {
    double percentile = 0.0;  // rounded to 1 decimal, 100 - raw for lower-is-better cards
    Category category = Category::Orange;
    PercentRange range;  // oriented: (100 - upper, 100 - lower) for lower-is-better cards
};

// A score, bound or corpus score that is not a number. Every comparison with NaN is false, so
// such a score would otherwise pass for Orange with a made-up percentile.
class UnratableScore : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// Rates `score` on one card. Without `custom` the thresholds are the stored bounds; with it they are
// the corpus scores at its two percentages, rounded to 4 decimals (PercentileError when a
// percentage is outside 0..100 or the corpus is empty). Throws UnratableScore on NaN.
CorpusRating rate_against_corpus(bool higher_is_better, double lower_bound, double upper_bound,
                                 const std::vector<double>& corpus_scores, double score,
                                 const std::optional<PercentRange>& custom);

// A risk's rating from its card ratings: absent if any card is unrated, else the worst one;
// no cards at all rate Green.
std::optional<Category> fold_categories(const std::vector<std::optional<Category>>& cards);

// A card with more unreadable answers than this share of all its answers is not rated: its score
// speaks for too few of them.
inline constexpr double kMaxUnreadableShare = 0.2;

// What the evaluation reports of a card's answers: those scored (unknown when not reported) and
// those that could not be read (0 when not reported).
struct AnswerCounts {
    std::optional<double> scored;
    double unreadable = 0.0;
};

// Why the card must not be rated, or nullopt when its answers allow a rating.
std::optional<std::string> unreadable_answers_reason(const AnswerCounts& counts);

}  // namespace velora::core
