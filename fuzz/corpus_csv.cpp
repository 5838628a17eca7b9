// A benchmark corpus file: its CSV records, the corpus rows read from them, and values of each row
// (its bounds, its first score) rated against the row, by the stored bounds and by the bounds
// taken as custom percentages.
#include <optional>

#include "mra/core/report/corpus.hpp"
#include "mra/core/report/percentile.hpp"
#include "mra/core/report/rating.hpp"
#include "support/fuzz_input.hpp"

using namespace velora::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::vector<std::string>> records;
    try {
        records = parse_csv(velora::fuzz::text_of(data, size));
    } catch (const CsvFieldTooLong&) {
        return 0;
    }
    NullLogSink log;
    for (const CorpusRow& row : read_corpus(records, log)) {
        std::vector<std::optional<Category>> ratings;
        std::vector<double> probes{row.lower_bound, row.upper_bound};
        if (!row.scores.empty()) probes.push_back(row.scores.front());
        for (const double score : probes) {
            try {
                ratings.push_back(rate_against_corpus(row.higher_is_better, row.lower_bound, row.upper_bound,
                                                      row.scores, score, {})
                                      .category);
                rate_against_corpus(row.higher_is_better, 0, 0, row.scores, score,
                                    PercentRange{row.lower_bound, row.upper_bound});
            } catch (const PercentileError&) {
            } catch (const UnratableScore&) {  // a NaN bound or score is never rated
            }
        }
        fold_categories(ratings);
    }
    return 0;
}
