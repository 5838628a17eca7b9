#include "mra/core/screening/corpus_builder.hpp"

#include <cmath>
#include <filesystem>
#include <set>

#include "common/pynum.hpp"
#include "mra/core/console/json.hpp"
#include "mra/core/report/corpus.hpp"
#include "mra/core/report/percentile.hpp"
#include "mra/core/score_string.hpp"

namespace velora::core::screening {
namespace {

using console::python_float_repr;

// Bounds carry the precision the report uses for thresholds it computes itself.
constexpr int kBoundDecimals = 4;

// A score that is not a finite number cannot be placed among others: the card goes without it.
std::optional<double> numeric_score(const Json& metrics) {
    const auto score = metrics.find("score");
    std::optional<double> value;
    if (score != metrics.end() && score->is_number()) value = score->get<double>();
    if (score != metrics.end() && score->is_string())
        value = score_value(score->get_ref<const std::string&>());
    if (value && !std::isfinite(*value)) value.reset();
    return value;
}

// Card -> score of one model, first risk winning for a card scored under several.
std::map<std::string, double> scores_of(const Json& results) {
    std::map<std::string, double> scores;
    for (const auto& [risk, cards] : results.items()) {
        for (const auto& [card, metrics] : cards.items()) {
            const auto score = numeric_score(metrics);
            if (score && !scores.count(card)) scores.emplace(card, *score);
        }
    }
    return scores;
}

std::vector<std::string> card_order(const std::vector<CorpusSource>& sources) {
    std::vector<std::string> order;
    std::set<std::string> seen;
    for (const auto& source : sources) {
        for (const auto& [risk, cards] : source.results.items()) {
            for (const auto& [card, metrics] : cards.items()) {
                if (seen.insert(card).second) order.push_back(card);
            }
        }
    }
    return order;
}

// The model names, made distinct by their source where one model was screened more than once.
std::vector<std::string> column_labels(const std::vector<CorpusSource>& sources) {
    std::map<std::string, int> uses;
    for (const auto& source : sources) ++uses[source.model];
    std::vector<std::string> labels;
    std::set<std::string> taken;
    for (const auto& source : sources) {
        std::string label =
            uses[source.model] > 1 ? source.model + " (" + source.source_name + ")" : source.model;
        const std::string base = label;
        for (int n = 2; !taken.insert(label).second; ++n) label = base + " #" + std::to_string(n);
        labels.push_back(label);
    }
    return labels;
}

std::string score_list(const std::vector<double>& scores) {
    std::string text = "[";
    for (size_t i = 0; i < scores.size(); ++i) text += (i ? ", " : "") + python_float_repr(scores[i]);
    return text + "]";
}

std::string bound(const std::vector<double>& scores, double percentage) {
    return python_float_repr(round_half_even(linear_percentile(scores, percentage), kBoundDecimals));
}

std::string header_line(const std::vector<std::string>& labels) {
    std::string line = "card_name,Higher-Better,lower_bound_p25,upper_bound_p75,corpus_scores";
    for (const auto& label : labels) line += "," + csv_field(spreadsheet_safe_name(label));
    return line + "\n";
}

}  // namespace

std::string source_name(const std::string& path) {
    const std::filesystem::path file(path);
    if (file.filename() == kResultsFileName && file.has_parent_path()) {
        const std::filesystem::path folder = std::filesystem::absolute(file).parent_path();
        if (!folder.filename().empty()) return folder.filename().string();
    }
    return file.stem().string();
}

std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos && !text.empty()) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

BuiltCorpus build_corpus(const std::vector<CorpusSource>& sources,
                         const std::map<std::string, bool>& higher_is_better) {
    BuiltCorpus corpus;
    corpus.models = column_labels(sources);
    std::vector<std::map<std::string, double>> per_model;
    for (const auto& source : sources) per_model.push_back(scores_of(source.results));
    corpus.csv = header_line(corpus.models);
    for (const auto& card : card_order(sources)) {
        const auto orientation = higher_is_better.find(card);
        if (orientation == higher_is_better.end()) {
            corpus.warnings.push_back("card " + card +
                                      " left out: its orientation (higher or lower is better) is not known");
            continue;
        }
        std::vector<double> scores;
        std::string model_columns;
        for (const auto& model_scores : per_model) {
            const auto score = model_scores.find(card);
            if (score != model_scores.end()) scores.push_back(score->second);
            model_columns += "," + (score != model_scores.end() ? python_float_repr(score->second) : "");
        }
        if (scores.empty()) continue;  // only cards whose score was unreadable everywhere
        corpus.csv += csv_field(card) + "," + (orientation->second ? "TRUE" : "FALSE") + "," +
                      bound(scores, 25.0) + "," + bound(scores, 75.0) + "," + csv_field(score_list(scores)) +
                      model_columns + "\n";
        ++corpus.cards;
    }
    if (sources.size() < kFewestMeaningfulModels) {
        corpus.warnings.push_back("the corpus holds " + std::to_string(sources.size()) +
                                  (sources.size() == 1 ? " model" : " models") +
                                  "; percentiles over so few models mean little");
    }
    return corpus;
}

}  // namespace velora::core::screening
