#include "mra/core/screening/results_document.hpp"

#include "common/redaction.hpp"
#include "mra/core/report/dates.hpp"
#include "mra/core/score_string.hpp"

namespace velora::core::screening {
namespace {

// Results are risk, card, metric, value; a value may be a list. Far below what recursion can take.
constexpr int kMaxResultsNesting = 64;

Json count_entry(const Json& metrics, const char* name) {
    const auto found = metrics.find(name);
    if (found == metrics.end() || !found->is_number_integer()) return nullptr;
    return *found;
}

[[noreturn]] void fail(const std::string& file_name, const std::string& problem) {
    throw ResultsFileError(file_name + ": " + problem);
}

std::string path_of(const std::string& risk, const std::string& card) {
    return "results[\"" + risk + "\"][\"" + card + "\"]";
}

bool readable_score(const Json& score) {
    if (score.is_number()) return true;
    return score.is_string() && score_value(score.get_ref<const std::string&>()).has_value();
}

void check_results(const Json& results, const std::string& file_name) {
    if (!results.is_object()) fail(file_name, "\"results\" is not an object of risk dimensions");
    for (const auto& [risk, cards] : results.items()) {
        if (!cards.is_object()) fail(file_name, "results[\"" + risk + "\"] is not an object of cards");
        for (const auto& [card, metrics] : cards.items()) {
            if (!metrics.is_object()) fail(file_name, path_of(risk, card) + " is not an object of metrics");
            const auto score = metrics.find("score");
            if (score == metrics.end()) fail(file_name, path_of(risk, card) + " has no \"score\"");
            if (!readable_score(*score))
                fail(file_name, path_of(risk, card) + " has a score that is not a number");
        }
    }
}

// The format marks first: a file of another program, or of a newer version, is told as such rather
// than by whatever member it happens to lack.
void check_format(const Json& document, const std::string& file_name) {
    const auto format = document.find("format");
    if (format == document.end() || *format != kResultsFormat) {
        fail(file_name,
             "not a velora-mra results file (it lacks \"format\": \"" + std::string(kResultsFormat) + "\")");
    }
    const auto version = document.find("format_version");
    if (version == document.end() || !version->is_number_integer() || version->get<long long>() < 1) {
        fail(file_name, "has no valid \"format_version\"");
    }
    if (version->get<long long>() > kResultsFormatVersion) {
        fail(file_name, "is results format " + std::to_string(version->get<long long>()) +
                            ", written by a newer velora-mra; this version reads formats up to " +
                            std::to_string(kResultsFormatVersion) + ". Upgrade velora-mra to read it");
    }
}

std::string text_member(const Json& object, const char* name, const std::string& file_name, bool required) {
    const auto found = object.find(name);
    if (found == object.end() && !required) return "";
    if (found == object.end() || !found->is_string())
        fail(file_name, std::string("header has no text \"") + name + "\"");
    return found->get<std::string>();
}

ResultsHeader read_header(const Json& document, const std::string& file_name) {
    const auto header = document.find("header");
    if (header == document.end() || !header->is_object()) fail(file_name, "has no \"header\" object");
    ResultsHeader out;
    out.model = text_member(*header, "model", file_name, true);
    out.library_version = text_member(*header, "library_version", file_name, false);
    out.created = text_member(*header, "created", file_name, false);
    if (const auto settings = header->find("settings"); settings != header->end()) {
        if (!settings->is_object()) fail(file_name, "header \"settings\" is not an object");
        out.settings = *settings;
    }
    if (const auto failed = header->find("failed_risks"); failed != header->end()) {
        if (!failed->is_array()) fail(file_name, "header \"failed_risks\" is not a list");
        for (const auto& risk : *failed) {
            if (!risk.is_string())
                fail(file_name, "header \"failed_risks\" holds a value that is not a risk name");
            out.failed_risks.push_back(risk.get<std::string>());
        }
    }
    if (const auto causes = header->find("failure_causes"); causes != header->end()) {
        if (!causes->is_object()) fail(file_name, "header \"failure_causes\" is not an object");
        for (const auto& [risk, cause] : causes->items()) {
            if (!cause.is_string())
                fail(file_name, "header \"failure_causes\" holds a cause that is not text");
            out.failure_causes[risk] = cause.get<std::string>();
        }
    }
    return out;
}

}  // namespace

Json stored_settings(const Json& settings) {
    if (settings.is_string()) return without_url_user_info(settings.get_ref<const std::string&>());
    if (!settings.is_structured()) return settings;
    Json out = settings;
    for (auto& item : out) item = stored_settings(item);
    return out;
}

std::string iso_utc_timestamp(std::time_t instant) { return utc_text(instant, "%Y-%m-%dT%H:%M:%SZ"); }

Json card_counts(const Json& results) {
    Json counts = Json::object();
    for (const auto& [risk, cards] : results.items()) {
        Json& risk_counts = counts[risk] = Json::object();
        for (const auto& [card, metrics] : cards.items()) {
            risk_counts[card] =
                Json{{"answers", count_entry(metrics, "num_of_instances")},
                     {"unreadable_answers", count_entry(metrics, "num_of_unreadable_answers")}};
        }
    }
    return counts;
}

Json results_document(const ResultsHeader& header, const Json& results) {
    Json document = Json::object();
    document["format"] = kResultsFormat;
    document["format_version"] = kResultsFormatVersion;
    document["header"] =
        Json{{"model", header.model},          {"library_version", header.library_version},
             {"created", header.created},      {"settings", stored_settings(header.settings)},
             {"counts", card_counts(results)}, {"failed_risks", header.failed_risks}};
    if (!header.failure_causes.empty()) document["header"]["failure_causes"] = header.failure_causes;
    document["results"] = results;
    return document;
}

ResultsDocument parse_results_document(std::string_view text, const std::string& file_name) {
    // Everything that reads a document recurses over it; ours nest a few levels, so a deep one is
    // refused while it is parsed, before anything recurses.
    const Json::parser_callback_t depth_check = [&](int depth, Json::parse_event_t, Json&) {
        if (depth > kMaxResultsNesting) fail(file_name, "nests deeper than any velora-mra results file");
        return true;
    };
    Json document = Json::parse(text, depth_check, false);
    if (document.is_discarded()) fail(file_name, "is not JSON, so not a velora-mra results file");
    if (!document.is_object())
        fail(file_name, "is not a velora-mra results file (its JSON is not an object)");
    check_format(document, file_name);
    ResultsDocument out;
    out.header = read_header(document, file_name);
    const auto results = document.find("results");
    if (results == document.end()) fail(file_name, "has no \"results\"");
    check_results(*results, file_name);
    out.results = *results;
    out.counts = card_counts(out.results);
    return out;
}

}  // namespace velora::core::screening
