// The results file of one screening: the results dictionary with a small header (model, settings,
// library version, date, answers and unreadable answers per card, risks that failed), so that
// reports, corpora and gates can be made later without screening again.
#pragma once

#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velora::core::screening {

// Member order is the order of the report, so it is kept.
using Json = nlohmann::ordered_json;

inline constexpr std::string_view kResultsFormat = "velora-mra-results";
// What a screening's results file is called in its output folder.
inline constexpr std::string_view kResultsFileName = "screening-results.json";
// Raised whenever a reader of an older version could misread a newer file.
inline constexpr int kResultsFormatVersion = 1;

struct ResultsHeader {
    std::string model;
    std::string library_version;
    std::string created;  // UTC, ISO 8601
    Json settings = Json::object();
    std::vector<std::string> failed_risks;
    // Failed risk -> why, as it was logged (the first failed card's error); risks without a known cause
    // are not in it.
    std::map<std::string, std::string> failure_causes;
};

struct ResultsDocument {
    ResultsHeader header;
    Json counts;   // risk -> card -> {"answers": n, "unreadable_answers": n or null}
    Json results;  // risk -> card -> metric -> value
};

// The file is not one of ours, is from a newer format, or breaks the format; the message names the
// file and the problem.
class ResultsFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// "2026-03-01T14:05:09Z".
std::string iso_utc_timestamp(std::time_t instant);

// Answers scored and unreadable answers of every card, taken from the metrics the evaluation
// library reports ("num_of_instances", "num_of_unreadable_answers"); null where a card lacks one.
Json card_counts(const Json& results);

// Settings as a results header keeps them: every text without the user information of its URLs
// (a password in a base URL), lists and objects alike.
Json stored_settings(const Json& settings);

// The whole document; counts are derived from the results, settings stored as above.
Json results_document(const ResultsHeader& header, const Json& results);

// Reads a results file's text. Throws ResultsFileError naming `file_name`.
ResultsDocument parse_results_document(std::string_view text, const std::string& file_name);

}  // namespace velora::core::screening
